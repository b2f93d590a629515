#!/usr/bin/env bash
# Soak run of the window program (not part of CI): random keys, drags, slider
# moves and check-box clicks under a virtual X server for a while, with the
# memory and the title's frame rate logged every ten seconds. Meant for an
# AddressSanitizer build:
#
#   cmake -G Ninja -S . -B build-asan -DLUMENAR_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
#   ninja -C build-asan -j2 lumenar
#   tools/soak-window.sh build-asan/app/lumenar [seconds=600] [scene input=scenes/default/input] [log=soak.log]
#
# Passes (exit 0) when the program ran the whole time, its title kept
# reporting frames, and it ended on SIGTERM with status 0, "All done." and
# no sanitizer report.
set -uo pipefail

lumenar=$(realpath "${1:?usage: soak-window.sh LUMENAR [SECONDS] [SCENE_INPUT] [LOG]}")
seconds=${2:-600}
scene_input=$(realpath "${3:-$(dirname "$0")/../scenes/default/input}")
log=$(realpath -m "${4:-soak.log}")

work=$(mktemp -d "${TMPDIR:-/tmp}/lumenar-soak.XXXXXX")
xvfb_pid=""
app_pid=""
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "soak: FAIL: $*" | tee -a "$log" >&2
    [ -s "$work/err.txt" ] && tail -n 40 "$work/err.txt" >&2
    exit 1
}

for prog in Xvfb xdotool; do
    command -v $prog >/dev/null || fail "$prog is missing (tools/install-deps.sh installs it)"
done
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
source "$(dirname "$0")/../tests/window/xvfb_start.sh"
start_xvfb "$work" || fail "no virtual X server"

mkdir "$work/scene"
cp -r "$(dirname "$scene_input")"/. "$work/scene/"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
(cd "$work/scene" && LUMENAR_WIDGET_MAP="$work/map.txt" exec "$lumenar") >"$work/out.txt" 2>"$work/err.txt" &
app_pid=$!

deadline=$((SECONDS + 300))
window=""
until [ -n "$window" ]; do
    kill -0 "$app_pid" 2>/dev/null || fail "lumenar ended early"
    [ $SECONDS -ge $deadline ] && fail "no window appeared"
    window=$(xdotool search --name '^Lumenar( FPS|$)' 2>/dev/null | head -n1)
    sleep 0.5
done
until [ -s "$work/map.txt" ]; do sleep 0.2; done
xdotool windowfocus --sync "$window" 2>/dev/null

geometry() { awk -F'\t' -v n="$1" '$1 == n { print $2, $3, $4, $5 }' "$work/map.txt"; }
read -r vx vy vw vh < <(geometry view)
sliders=("roughness" "metalness" "transparency" "IOR" "wall roughness" "wall metalness")
boxes=("enable fog" "denoise" "enable ss")
keys=(w s a d e q i k j l u o)

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$app_pid/status" 2>/dev/null; }
title() { xdotool getwindowname "$window" 2>/dev/null; }

: >"$log"
echo "soak: $lumenar for $seconds s on $scene_input" | tee -a "$log"
start=$SECONDS
next_log=$SECONDS
first_rss=$(rss)
fps_seen=0
while [ $((SECONDS - start)) -lt "$seconds" ]; do
    kill -0 "$app_pid" 2>/dev/null || fail "lumenar ended after $((SECONDS - start)) s"
    case $((RANDOM % 4)) in
        0) xdotool key --delay $((RANDOM % 40 + 10)) --repeat $((RANDOM % 20 + 1)) "${keys[RANDOM % ${#keys[@]}]}" ;;
        1)
            x=$((vx + RANDOM % vw)) y=$((vy + RANDOM % vh))
            xdotool mousemove --window "$window" $x $y mousedown 1 \
                mousemove --window "$window" $((x + RANDOM % 21 - 10)) $((y + RANDOM % 21 - 10)) mouseup 1
            ;;
        2)
            read -r x y w h < <(geometry "${sliders[RANDOM % ${#sliders[@]}]}")
            xdotool mousemove --window "$window" $((x + RANDOM % w)) $((y + h / 2)) click 1
            ;;
        3)
            # Check boxes rarely: fog and subsurface frames are slow.
            if [ $((RANDOM % 8)) = 0 ]; then
                read -r x y w h < <(geometry "${boxes[RANDOM % ${#boxes[@]}]}")
                xdotool mousemove --window "$window" $((x + 8)) $((y + h / 2)) click 1
            fi
            ;;
    esac
    sleep "0.$((RANDOM % 5))"
    if [ $SECONDS -ge $next_log ]; then
        t=$(title)
        fps=$(echo "$t" | awk '/^Lumenar FPS: / { print $3; exit } { print 0 }')
        awk -v f="$fps" 'BEGIN { exit !(f > 0) }' && fps_seen=1
        echo "t=$((SECONDS - start))s rss_kb=$(rss) title='$t'" | tee -a "$log"
        next_log=$((SECONDS + 10))
    fi
done
last_rss=$(rss)
echo "soak: rss $first_rss kB at start, $last_rss kB at the end" | tee -a "$log"
[ "$fps_seen" = 1 ] || fail "the title never reported a frame rate"

kill -TERM "$app_pid"
wait "$app_pid"
status=$?
app_pid=""
grep -q "All done." "$work/out.txt" || fail "no 'All done.' after SIGTERM"
grep -qE "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$work/err.txt" && fail "sanitizer report"
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"
echo "soak: passed" | tee -a "$log"
