# What the guest benchmarks share, sourced by each: the top of the tree as
# the current folder, what the guests need made or checked first, and
# guest_python, which runs the Python program on its standard input with
# the guest helpers (tests/vm) importable and RUNS and the binaries in its
# environment. What cannot be had or made ends the script with one line on
# what to run first or what failed, and status 2.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=build/linux
me=$(basename "$0")

# stop LINE: one line on what is missing or failed, then the end.
stop() {
	echo "$me: $1" >&2
	exit 2
}

# QEMU, busybox, sg3-utils, xorriso and cpio for the guests; cmake and
# dpkg-dev for the build and the release's archives.
for tool in cmake dpkg-shlibdeps qemu-system-x86_64 busybox sg_dd xorriso cpio; do
	command -v "$tool" >/dev/null || stop "$tool is missing: run bash scripts/setup.sh native vm first"
done
# Every guest unpacks the Linux release's archives next to the programs:
# the package target builds the programs, aspicheck among them, and makes
# both archives from them.
if [ ! -f "$build/CMakeCache.txt" ] && ! cmake --preset linux >/dev/null; then
	stop "cmake --preset linux failed (above)"
fi
if ! out=$(cmake --build --preset linux --target package -j "$(nproc)" 2>&1); then
	printf '%s\n' "$out" | tail -n 20 >&2
	stop "cmake --build --preset linux --target package failed (above)"
fi
# Debian's kernel, unpacked into a cache (fetched once).
tests/vm/kernel.sh >/dev/null ||
	stop "Debian's kernel package could not be fetched (above): run bash scripts/setup.sh vm first"

# guest_python RUNS
guest_python() {
	SYSGRAB_BIN=$build/sysgrab ASPICHECK_BIN=$build/tests/client/aspicheck RUNS=$1 \
		PYTHONPATH=tests/vm${PYTHONPATH:+:$PYTHONPATH} python3 -
}
