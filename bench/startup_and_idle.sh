#!/usr/bin/env bash
# Prints how long the tool takes from start to the box found, and how much
# processor time it uses while it probes a box that never answers.
# Usage: bench/startup_and_idle.sh [BUILD_DIR]   (after scripts/build)
set -euo pipefail
build=${1:-build}
dir=$(mktemp -d)
fifo="$dir/console"
mkfifo "$fifo"
out="$dir/sim.out"
"$build/k740-sim" --dir "$dir" --port 7 <"$fifo" >"$out" &
sim=$!
exec 4>"$fifo"
tool=""
cleanup() {
    [ -n "$tool" ] && kill "$tool" 2>/dev/null || true
    echo quit >&4 || true
    wait "$sim" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
until grep -aq "k740-sim: COM7" "$out"; do sleep 0.05; done

commands() {
    : >"$out"
    echo commands >&4
    until grep -aq "end of commands" "$out"; do sleep 0.01; done
    grep -a "^cmd: " "$out" | cut -c6-
}

start=$(date +%s%N)
K740_SERIALCOMM_DIR="$dir" QT_QPA_PLATFORM=offscreen "$build/Quorvane_for_K740_3T_TQ55_SPI" 2>/dev/null &
tool=$!
until commands | grep -qx 'o'; do sleep 0.02; done
found=$(date +%s%N)
echo "start to box found (first command after the probe): $(( (found - start) / 1000000 )) ms"

# A box that stops answering: the tool probes it once a second, 400 ms each.
echo "silent on" >&4
sleep 2
ticks() { awk '{print $14 + $15}' "/proc/$tool/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks)
sleep 10
t1=$(ticks)
echo "processor time while probing a silent box: $(( (t1 - t0) * 1000 / hz )) ms in 10 s" \
     "($(awk -v a="$t0" -v b="$t1" -v hz="$hz" 'BEGIN{printf "%.2f", (b-a)/hz/10*100}') % of one core)"
