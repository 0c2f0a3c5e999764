#!/usr/bin/env bash
# Starts the real program on an X server, checks that its window appears with
# its title, place and size, asks it to close and expects a clean exit.
#
#   smoke_test.sh <program> <xclose>   (run under with-xvfb)
set -euo pipefail

program=$1
xclose=$2
title="EKG Demo using QUOR"

cd "$(dirname "$program")"
"$program" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT

window=$(timeout 20 xdotool search --sync --onlyvisible --name "^$title\$" | head -n1)
[ -n "$window" ] || { echo "no window titled '$title'"; exit 1; }

geometry=$(xwininfo -id "$window")
echo "$geometry"
grep -q "Absolute upper-left X:  192$" <<<"$geometry"
grep -q "Absolute upper-left Y:  124$" <<<"$geometry"
grep -q "Width: 720$" <<<"$geometry"
grep -q "Height: 344$" <<<"$geometry"

# A close request that comes while a new window is still settling is now and
# then lost, by a bare Qt window too; so it is repeated, every half second,
# until the program ends or ten seconds have passed.
for _ in $(seq 20); do
    "$xclose" "$window" 2>/dev/null || true
    for _ in $(seq 5); do
        kill -0 "$pid" 2>/dev/null || break 2
        sleep 0.1
    done
done
if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not exit after its window was closed"
    exit 1
fi
wait "$pid"
echo "exited cleanly"
