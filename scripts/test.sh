#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

# One style for all C++ sources.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# Native build: the suite against the simulated bus, and the other labels.
cmake --preset linux
cmake --build --preset linux -j "$jobs"
ctest --preset linux

# The same native suite under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset linux-asan
cmake --build --preset linux-asan -j "$jobs"
ctest --preset linux-asan
