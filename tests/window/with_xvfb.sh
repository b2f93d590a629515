#!/usr/bin/env bash
# Runs a command inside a virtual X server of its own (24-bit screen).
# usage: with_xvfb.sh COMMAND [ARGS...]
set -uo pipefail
for prog in Xvfb xdotool; do
    command -v $prog >/dev/null || { echo "$prog is missing (tools/install-deps.sh installs it)" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/lumenar-xvfb.XXXXXX")
xvfb_pid=""
trap '[ -n "$xvfb_pid" ] && kill $xvfb_pid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
source "$(dirname "$0")/xvfb_start.sh"
start_xvfb "$work" || exit 1
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$@"
