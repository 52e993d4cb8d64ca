# What the guest benchmarks share, sourced by each: the top of the tree as
# the current folder, the linux preset's build checked, and guest_python,
# which runs the Python program on its standard input with the guest
# helpers (tests/vm) importable and RUNS and the binaries in its
# environment.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=build/linux
[ -x "$build/sysgrab" ] && [ -f "$build/libwnaspi32.so" ] && [ -x "$build/tests/client/aspicheck" ] ||
	{ echo "$(basename "$0"): build first: cmake --preset linux && cmake --build --preset linux" >&2; exit 2; }

# guest_python RUNS
guest_python() {
	SYSGRAB_BIN=$build/sysgrab ASPICHECK_BIN=$build/tests/client/aspicheck RUNS=$1 \
		PYTHONPATH=tests/vm${PYTHONPATH:+:$PYTHONPATH} python3 -
}
