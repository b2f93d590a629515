# Sourced by the window tests: start_xvfb WORKDIR starts a virtual X server of
# its own (24-bit screen) and sets DISPLAY and xvfb_pid.
#
# -displayfd lets the server take the first free display number. A server
# that another test is shutting down at that moment can still remove the
# socket of a new server that took its number, so the new server is only
# accepted once a client has connected to it a moment later; otherwise it is
# stopped and another one started. -noreset: by default the server resets
# when its last client leaves (here the check's), and a client that connects
# during the reset is turned away.
start_xvfb() {
    local work=$1 try n
    for try in 1 2 3 4 5; do
        : >"$work/display"
        Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp -noreset 5>"$work/display" 2>"$work/xvfb.txt" &
        xvfb_pid=$!
        for n in $(seq 300); do
            [ -s "$work/display" ] && break
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        if [ -s "$work/display" ]; then
            export DISPLAY=":$(head -n1 "$work/display")"
            sleep 0.5
            if xdotool getdisplaygeometry >/dev/null 2>&1; then
                return 0
            fi
        fi
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        xvfb_pid=""
        sleep "0.$((RANDOM % 9 + 1))"
    done
    echo "Xvfb did not start: $(cat "$work/xvfb.txt")" >&2
    return 1
}
