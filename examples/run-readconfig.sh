#!/bin/sh
# Runs the engine's example against one emulated node, inside the private
# network netns-run made (the test suite registers it).
#   run-readconfig.sh EXAMPLE EMULATOR
set -eu
example=$1 emulator=$2
out=$(mktemp)
trap 'kill $emu 2>/dev/null; rm -f "$out"' EXIT
nsenter --net="$TARVO_NODES_NETNS" "$emulator" --exit-with-parent --count 1 --first-ip 192.0.2.10 --label Stage >"$out" &
emu=$!
while ! grep -q '^ready' "$out"; do sleep 0.05; done
result=$("$example" 192.0.2.1)
echo "$result"
echo "$result" | grep -qx '26500001 "Stage-1" 192.0.2.10'
echo "$result" | grep -qx 'port 4: universe 4, break 176, mab 12, mbf 0, wait 10, channels 512, HTP'
