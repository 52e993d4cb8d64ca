#!/usr/bin/env bash
# Builds sysgrab, makes a disc image with xorriso and copies its first 32 KiB
# from a simulated drive holding it, then checks the copy against the disc.
# Usage: scripts/demo.sh [PROGRAM]: PROGRAM (default: the build's) is the
# sysgrab that runs, e.g. bin/sysgrab in an unpacked release.
set -euo pipefail
program=${1:+$(realpath "$1")}
cd "$(dirname "$0")/.."
program=${program:-build/linux/sysgrab}

scripts/setup.sh native
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/tree"
echo "hello from the demo disc" >"$demo/tree/HELLO.TXT"
head -c 32768 /dev/urandom >"$demo/system-area.bin"
xorriso -as mkisofs -quiet -V SYSGRAB_DEMO -G "$demo/system-area.bin" \
	-o "$demo/disc.iso" "$demo/tree" 2>"$demo/xorriso.log" || { cat "$demo/xorriso.log" >&2; exit 1; }

# A hard disk at 00:00 and a CD-ROM drive holding the disc at 00:03.
cat >"$demo/scenario.txt" <<SCENARIO
unit 0 0 0
unit 0 3 5 image $PWD/$demo/disc.iso
SCENARIO

echo "\$ sysgrab $demo/gamedisc.bin"
LD_LIBRARY_PATH=build/linux/sim ASPISIM_SCENARIO="$demo/scenario.txt" \
	"$program" "$demo/gamedisc.bin"

head -c 32768 "$demo/disc.iso" >"$demo/expected.bin"
if cmp "$demo/gamedisc.bin" "$demo/expected.bin"; then
	echo "demo: $demo/gamedisc.bin ($(stat -c %s "$demo/gamedisc.bin") bytes) equals the first 32768 bytes of $demo/disc.iso"
else
	echo "demo: the copy differs from the disc" >&2
	exit 1
fi
