#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

# ctest names a skipped test without saying why: the reasons, each test's
# "SKIPPED:" line, from the log of the preset's last run, one line a reason.
skipped() {
	local log=build/$1/Testing/Temporary/LastTest.log
	[ -f "$log" ] || return 0
	awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 }
		/^SKIPPED: / { why = substr($0, 10); if (!(why in tests)) order[n++] = why
			tests[why] = tests[why] " " name }
		END { for (i = 0; i < n; i++) print "skipped:" tests[order[i]] ": " order[i] }' "$log"
}

# One style for all C++ sources.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# Native build: the suite against the simulated bus, and the other labels.
cmake --preset linux
cmake --build --preset linux -j "$jobs"
ctest --preset linux
skipped linux

# The same native suite under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset linux-asan
cmake --build --preset linux-asan -j "$jobs"
ctest --preset linux-asan
skipped linux-asan

# Windows: the 32-bit release build (image checks, release archive) and the
# suite under Wine. Where the kernel runs no 32-bit x86 code, the 32-bit
# suite runs in a QEMU guest instead, and the 64-bit build of the same
# sources runs it here too.
cmake --preset win32
cmake --build --preset win32 -j "$jobs"
ctest --preset win32
skipped win32
cmake --preset win64
cmake --build --preset win64 -j "$jobs"
ctest --preset win64
skipped win64
