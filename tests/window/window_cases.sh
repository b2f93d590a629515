# The end-to-end cases; sourced by window_e2e.sh, which has started lumenar
# and found its window and view.

# The title reports frames, the picture is lit and keeps converging, and
# "show fps" switches the rates out of the title and back.
case_frames() {
    local a b mean max share
    a=$(grab)
    check_lit "$a"
    settle 4
    b=$(grab)
    check_lit "$b"
    read -r mean max share < <("$tool" pixeldiff "$a" "$vx" "$vy" "$b" "$vx" "$vy" "$vw" "$vh")
    less 0 "$mean" || fail "the view is frozen: two grabs apart are identical"
    note "converging: mean pixel change $mean between grabs"

    click_widget "show fps" 10
    wait_until 60 title_is "Lumenar" || fail "with show fps off the title is '$(title)'"
    click_widget "show fps" 10
    wait_until 60 fps_reported || fail "with show fps on again the title is '$(title)'"
}

# W moves the camera and restarts the average; a left drag turns the view.
case_camera() {
    local before after noise0 noise1 mean max share shown count0 least
    settle 40
    before=$(grab)
    check_lit "$before"
    # Sampling noise, measured on a plain stretch of the back wall.
    wall_noise() { "$tool" stats "$1" $((vx + 40)) $((vy + 24)) 48 16 | cut -d' ' -f5; }
    noise0=$(wall_noise "$before")
    # The frame log has a line "sequence frames previewBlock" per picture shown.
    shown=$(wc -l <"$work/frames.txt")
    count0=$(awk '$3 == 0 { n = $2 } END { print n + 0 }' "$work/frames.txt")
    [ "$count0" -ge 8 ] || fail "only $count0 frames were averaged before W"
    press w w w w w w
    # The first grab that shows the new view holds only a few frames.
    wait_until 30 bash -c "f=\$(import -silent -window $window png:$work/w.png && echo $work/w.png) &&
        m=\$('$tool' blockdiff '$before' \$f $vx $vy $vw $vh $vx $vy 8 | cut -d' ' -f1) &&
        awk -v m=\$m 'BEGIN { exit !(m > 6) }'" || fail "W did not move the camera"
    after="$work/w.png"
    check_lit "$after"
    # A restarted average shows its first full frames again. (How noisy the
    # grabs look depends on how many frames fit between two of them, which
    # on a busy machine can be many.)
    least=$(tail -n +$((shown + 1)) "$work/frames.txt" | awk '$3 == 0 && (m == "" || $2 < m) { m = $2 } END { print m }')
    noise1=$(wall_noise "$after")
    note "W: $count0 frames before, $least after; noise $noise0 before, $noise1 at the first changed grab"
    [ -n "$least" ] && [ $((2 * least)) -le "$count0" ] ||
        fail "W did not restart the average ($count0 frames before, least shown after: '${least:-none}')"

    settle 4
    before=$(grab)
    xdotool mousemove --window "$window" $((vx + 50)) $((vy + 64)) mousedown 1 \
        mousemove --window "$window" $((vx + 60)) $((vy + 64)) \
        mousemove --window "$window" $((vx + 70)) $((vy + 62)) mouseup 1
    settle 4
    after=$(grab)
    check_lit "$after"
    read -r mean max share < <(view_blockdiff "$before" "$after")
    note "drag: block change mean $mean, changed share $share"
    less 0.3 "$share" || fail "a left drag did not turn the view (changed share $share)"
}

# I moves the bunny: the blocks around it change, the far wall does not.
case_bunny() {
    local before after mean max share
    settle 16
    before=$(grab)
    press i i i i i i
    settle 16
    after=$(grab)
    check_lit "$after"
    # The bunny stands in the lower middle of the view; the back wall's
    # upper part lies far behind it.
    read -r mean max share < <(view_blockdiff "$before" "$after" 24 64 80 56)
    note "I: bunny region block change mean $mean, max $max"
    less 10 "$max" || fail "I did not move the bunny (largest block change $max)"
    read -r mean max share < <(view_blockdiff "$before" "$after" 40 24 48 16)
    note "I: far wall block change mean $mean, max $max"
    less "$max" 6 || fail "moving the bunny changed the far wall (largest block change $max)"
}

# The sliders change the image; "enable fog" and "enable ss" switch which
# sliders can be moved.
case_panel() {
    local before after mean max share name key a b
    for name in IOR "wall roughness" metalness; do
        case $name in
            "wall roughness") key=Home ;;
            *) key=End ;;
        esac
        if [ "$name" = IOR ]; then
            # The bunny's coat is weak (specular 0.04), so its index shows
            # little on an opaque bunny: make it glass first, where the index
            # decides how the refraction bends the box behind it.
            click_widget "transparency"
            press End
        fi
        if [ "$name" = "wall roughness" ]; then
            # On a dielectric wall roughness only blurs a 4 % coat, a change
            # the noise of a few frames can hide: make the walls metallic
            # first, so roughness decides between a mirror and a matte wall.
            click_widget "wall metalness"
            press End
        fi
        settle 8
        before=$(grab)
        click_widget "$name"
        press "$key"
        settle 8
        after=$(grab)
        check_lit "$after"
        read -r mean max share < <(view_blockdiff "$before" "$after")
        note "slider $name: block change mean $mean, max $max"
        less 10 "$max" || fail "the $name slider did not change the image (largest block change $max)"
        if [ "$name" = IOR ]; then
            click_widget "transparency"
            press Home
        fi
    done

    # slider_moves NAME KEY: clicks the slider (which focuses it only when
    # it is enabled), presses KEY and says whether the handle moved.
    slider_moves() {
        # The panel repaints between frames: wait two frames after the last
        # action, and two after the key.
        settle 2
        a=$(grab)
        click_widget "$1"
        press "$2"
        settle 2
        b=$(grab)
        widget_changes "$1" "$a" "$b"
    }
    click_widget "enable MLT" 10  # takes the focus away from the sliders
    slider_moves "fog gravity" End && fail "fog gravity moved before fog was enabled"
    click_widget "enable fog" 10
    slider_moves "fog gravity" End || fail "fog gravity did not move with fog enabled"
    click_widget "enable fog" 10
    slider_moves "fog gravity" Home && fail "fog gravity moved after fog was disabled again"

    slider_moves "ss translucency" End && fail "ss translucency moved before ss was enabled"
    click_widget "enable ss" 10
    slider_moves "ss translucency" End || fail "ss translucency did not move with ss enabled"
    slider_moves "transparency" End && fail "transparency moved while ss was enabled"
    click_widget "enable ss" 10
    slider_moves "transparency" End || fail "transparency did not move with ss disabled again"
    click_widget "enable MLT" 10
    kill -0 "$app_pid" 2>/dev/null || fail "lumenar ended while switching modes"
}

# "Capture Screen" writes the view, W x H, and closing the window ends the
# program cleanly.
case_capture() {
    local shot size mean max same status shifted dx dy cm
    settle 30
    click_widget "Capture Screen"
    shot=$(grab)  # as soon after the capture as possible
    wait_until 30 test -s "$work/scene/screencapture.png" || fail "no screencapture.png was written"
    sleep 0.5  # the file may still be being written
    size=$("$tool" size "$work/scene/screencapture.png") || fail "screencapture.png is unreadable"
    [ "$size" = "128 128" ] || fail "screencapture.png is $size, not 128 128"
    read -r cm _ < <("$tool" stats "$work/scene/screencapture.png" 0 0 128 128)
    less 20 "$cm" || fail "screencapture.png is black (mean $cm)"
    # The view goes on converging, so the grab is a few frames younger than
    # the capture and differs by noise; the capture must still match the view
    # in place far better than one pixel off in any direction (a shifted,
    # flipped, recoloured or cropped capture does not).
    read -r mean max same < <("$tool" pixeldiff "$work/scene/screencapture.png" 0 0 "$shot" "$vx" "$vy" "$vw" "$vh")
    note "capture against the view: mean difference $mean, share identical $same"
    less "$mean" 8 || fail "screencapture.png is not the view (mean difference $mean)"
    for d in "1 0" "-1 0" "0 1" "0 -1"; do
        read -r dx dy <<<"$d"
        shifted=$("$tool" pixeldiff "$work/scene/screencapture.png" 0 0 "$shot" $((vx + dx)) $((vy + dy)) "$vw" "$vh" |
            cut -d' ' -f1)
        less "$(awk -v m="$mean" 'BEGIN { print 2 * m }')" "$shifted" ||
            fail "screencapture.png matches the view moved by ($dx, $dy) nearly as well ($shifted against $mean)"
    done

    "$tool" close "$window" || fail "cannot send the close request"
    wait_until 60 bash -c "! kill -0 $app_pid 2>/dev/null" || fail "lumenar did not end after the close request"
    wait "$app_pid"
    status=$?
    app_pid=""
    [ "$status" = 0 ] || fail "lumenar exited with status $status"
    [ "$(tail -n1 "$work/out.txt")" = "All done." ] || fail "the last line printed is not \"All done.\""
}

# Holding W down (two seconds of key repeats): while the keys arrive the
# title keeps changing, so the window is not stuck behind frames, and the
# view moves.
case_hold() {
    local before during mean max share keys titles distinct
    settle 4
    before=$(grab)
    xdotool key --delay 25 --repeat 80 w &
    keys=$!
    sleep 0.5
    titles="$(title)"
    during=$(grab)
    for _ in 1 2 3 4 5; do
        sleep 0.3
        titles="$titles"$'\n'"$(title)"
    done
    kill -0 "$keys" 2>/dev/null || note "the key repeats ended before the last title was read"
    wait "$keys"
    distinct=$(printf '%s\n' "$titles" | sort -u | wc -l)
    note "titles while W was held: $(printf '%s' "$titles" | tr '\n' '|')"
    [ "$distinct" -ge 2 ] || fail "the title did not change while W was held: '$titles'"
    check_lit "$during"
    read -r mean max share < <(view_blockdiff "$before" "$during")
    note "W held: block change mean $mean, changed share $share"
    less 0.3 "$share" || fail "the view did not change while W was held (changed share $share)"
}
