#!/usr/bin/env bash
# Runs bench_chart on the X11 platform, against a virtual X server of its
# own, so each chart frame is also put on the X server's window.
# Usage: bench/chart_x11.sh [BUILD_DIR] [STEPS]
#   (after scripts/build; default build directory: build)
set -euo pipefail
build=build
# A first argument that is not a number is the build directory.
if [ $# -gt 0 ]; then
    case $1 in
    *[!0-9]*) build=$1 && shift ;;
    esac
fi
exec "$(dirname "$0")/x11.sh" "$build/bench/bench_chart" --platform xcb "$@"
