#!/usr/bin/env bash
# Builds and runs the whole test suite with one CMake preset (default: ci, warnings as errors;
# asan: AddressSanitizer + UndefinedBehaviorSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-ci}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
