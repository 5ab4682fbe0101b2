#!/usr/bin/env bash
# Runs bench_reading on the X11 platform, against a virtual X server of its
# own, so the window is drawn and flushed the way a user's screen gets it.
# Usage: bench/reading_x11.sh [BUILD_DIR] [bench_reading options...]
#   (after scripts/build; default build directory: build)
set -euo pipefail
build=build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    build=$1
    shift
fi
exec "$(dirname "$0")/x11.sh" "$build/bench/bench_reading" --platform xcb "$@"
