#!/bin/sh
# Runs the upgrade example against one emulated node, inside the private
# network netns-run made (the test suite registers it): an upgrade file
# made by tarvo-production from a raw image, then the example.
#   run-upgrade.sh EXAMPLE EMULATOR PRODUCTION
set -eu
example=$1 emulator=$2 production=$3
dir=$(mktemp -d)
trap 'kill $emu 2>/dev/null; rm -rf "$dir"' EXIT
# A raw 128 KiB image: code bytes, the version at 0x1FFD0, brand and
# checksum fields zero.
python3 - "$dir/raw.bin" <<'PY'
import sys
image = bytearray((i * 7 + (i >> 9)) & 0xff for i in range(0x1FFC0)) + bytearray(64)
image[0x1FFD0:0x1FFD6] = b'v9.99\0'
open(sys.argv[1], 'wb').write(image)
PY
"$production" -o "$dir" upgrade "$dir/raw.bin" >/dev/null
nsenter --net="$TARVO_NODES_NETNS" "$emulator" --exit-with-parent --count 1 --first-ip 192.0.2.10 >"$dir/emu" &
emu=$!
while ! grep -q '^ready' "$dir/emu"; do sleep 0.05; done
result=$("$example" 192.0.2.1 192.0.2.10 "$dir/Tarvo_v9.99.upg")
echo "$result"
echo "$result" | grep -qx '26500001 (192.0.2.10): v1.00 -> v9.99'
echo "$result" | grep -qx '256/256 packets'
echo "$result" | grep -q '^done: reports v9.99 ('
