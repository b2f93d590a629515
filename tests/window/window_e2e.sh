#!/usr/bin/env bash
# End-to-end tests of the window program: a virtual X server of its own,
# lumenar started in a copy of the default scene (128 x 128 pixels), driven
# with xdotool and judged from screen grabs of its window.
#
# usage: window_e2e.sh CASE LUMENAR WINDOW_TOOL SCENE_INPUT
#   CASE: frames | camera | bunny | panel | capture
set -uo pipefail

case_name=$1
lumenar=$2
tool=$3
scene_input=$4
limit=${LUMENAR_E2E_TIMEOUT:-150}  # seconds for any one wait

work=$(mktemp -d "${TMPDIR:-/tmp}/lumenar-e2e-$case_name.XXXXXX")
xvfb_pid=""
app_pid=""

cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
    if [ -n "${LUMENAR_E2E_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

fail() {
    echo "FAIL ($case_name): $*" >&2
    for f in out.txt err.txt; do
        [ -s "$work/$f" ] && { echo "--- lumenar $f:" >&2; tail -n 20 "$work/$f" >&2; }
    done
    exit 1
}
note() { echo "$case_name: $*"; }

# wait_until SECONDS COMMAND...: polls COMMAND every 0.1 s.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
}

# float comparison: check "A < B" / "A > B"
less() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

for prog in Xvfb xdotool import; do
    command -v $prog >/dev/null || fail "$prog is missing (tools/install-deps.sh installs it)"
done

# --- X server -----------------------------------------------------------
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
source "$(dirname "$0")/xvfb_start.sh"
start_xvfb "$work" || fail "no virtual X server"

# --- the program -----------------------------------------------------------
mkdir "$work/scene"
sed 's/^resolution .*/resolution 128 128/' "$scene_input" >"$work/scene/input"
(cd "$work/scene" && LUMENAR_WIDGET_MAP="$work/map.txt" LUMENAR_FRAME_LOG="$work/frames.txt" exec "$lumenar") >"$work/out.txt" 2>"$work/err.txt" &
app_pid=$!

window=""
find_window() {
    kill -0 "$app_pid" 2>/dev/null || fail "lumenar ended early"
    window=$(xdotool search --name '^Lumenar( FPS|$)' 2>/dev/null | head -n1)
    [ -n "$window" ]
}
title() { xdotool getwindowname "$window"; }
title_is() { [ "$(title)" = "$1" ]; }
# The frame rate in the title, 0 while none has been measured.
title_fps() { title | awk '/^Lumenar FPS: / { print $3; exit } { print 0 }'; }
fps_reported() { less 0 "$(title_fps)"; }

wait_until "$limit" find_window || fail "no window titled Lumenar appeared"
wait_until "$limit" test -s "$work/map.txt" || fail "the window wrote no widget map"
wait_until "$limit" fps_reported || fail "the title never reported frames: '$(title)'"
note "window $window, title '$(title)'"
# No window manager: give the window the keyboard focus directly.
xdotool windowfocus --sync "$window" || fail "cannot focus the window"

# Widget geometry relative to the window: "name x y w h".
geometry() { awk -F'\t' -v n="$1" '$1 == n { print $2, $3, $4, $5; f = 1 } END { exit !f }' "$work/map.txt"; }
read -r vx vy vw vh < <(geometry view) || fail "the view is not in the widget map"
[ "$vw" = 128 ] && [ "$vh" = 128 ] || fail "the view is ${vw}x${vh}, not the scene's 128x128"

# grab: screen grab of the window into a new file; prints the file name.
grab() {
    local f
    f=$(mktemp -p "$work" --suffix=.png grab.XXXXXX)
    import -silent -window "$window" "png:$f" || fail "screen grab failed"
    echo "$f"
}
view_stats() { "$tool" stats "$1" "$vx" "$vy" "$vw" "$vh"; }
# view_blockdiff A B [X Y W H] (view-relative region, default the whole view)
view_blockdiff() {
    local x=${3:-0} y=${4:-0} w=${5:-$vw} h=${6:-$vh}
    "$tool" blockdiff "$1" "$2" $((vx + x)) $((vy + y)) "$w" "$h" $((vx + x)) $((vy + y)) 8
}
# settle FRAMES: waits about that many frames at the rate the title reports.
settle() {
    local fps
    fps=$(title_fps)
    less 0.2 "$fps" || fps=0.2
    sleep "$(awk -v n="$1" -v f="$fps" 'BEGIN { s = n / f; if (s > 60) s = 60; if (s < 0.3) s = 0.3; printf "%.2f", s }')"
}
# A picture worth judging: lit, with no black row or column.
check_lit() {
    local mean dark rows cols noise
    read -r mean dark rows cols noise < <(view_stats "$1")
    less 20 "$mean" || fail "the view is black (mean $mean)"
    [ "$rows" = 0 ] && [ "$cols" = 0 ] || fail "the view has $rows black rows and $cols black columns"
}
press() { xdotool key "$@"; }
click_at() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
# click_widget NAME [DX]: clicks a widget, DX pixels from its left edge
# (default: its middle).
click_widget() {
    local x y w h
    read -r x y w h < <(geometry "$1") || fail "$1 is not in the widget map"
    click_at $((x + ${2:-$((w / 2))})) $((y + h / 2))
}
# widget_changes NAME A B: whether the widget looks different in two grabs
# (more than a shading change: over 5 % of its pixels differ).
widget_changes() {
    local x y w h mean max same
    read -r x y w h < <(geometry "$1")
    read -r mean max same < <("$tool" pixeldiff "$2" "$x" "$y" "$3" "$x" "$y" "$w" "$h")
    note "$1: share of pixels unchanged $same"
    less "$same" 0.95
}

source "$(dirname "$0")/window_cases.sh"
"case_$case_name"
note "passed"
