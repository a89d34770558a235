#!/usr/bin/env bash
# Builds everything (the Windows program, its tests, the native publisher tool) and runs every test.
# Usage: tools/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$repo/build}"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Every test runs once, with no rerun: a test that fails even once is a fault to find, not to hide.
exec ctest -j"$(nproc)" --output-on-failure --timeout 1800
