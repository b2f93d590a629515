#!/usr/bin/env bash
# Runs a command inside a virtual X server of its own (24-bit screen).
# usage: with_xvfb.sh COMMAND [ARGS...]
set -uo pipefail
command -v Xvfb >/dev/null || { echo "Xvfb is missing (tools/install-deps.sh installs it)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/lumenar-xvfb.XXXXXX")
# -displayfd: the first free display number, written once clients may connect.
Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.txt" &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 300); do
    [ -s "$work/display" ] && break
    kill -0 $xvfb 2>/dev/null || break
    sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start: $(cat "$work/xvfb.txt")" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$@"
