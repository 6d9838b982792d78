#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh --packaging

# The "asan" preset of CMakePresets.json: build/asan.
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
