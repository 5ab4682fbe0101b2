#!/usr/bin/env bash
# Runs a program on the X11 platform against a virtual X server of its own,
# so windows are drawn and flushed the way a user's screen gets them.
# Usage: bench/x11.sh PROGRAM [arguments...]
set -euo pipefail
work=$(mktemp -d)
xvfb=""
cleanup() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# The first display whose lock file and socket are both free.
display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
deadline=$((SECONDS + 10))
until DISPLAY=":$display" xdpyinfo >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ]; then
        echo "Xvfb did not start" >&2
        cat "$work/xvfb.log" >&2
        exit 1
    fi
    sleep 0.1
done
DISPLAY=":$display" "$@"
