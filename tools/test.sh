#!/usr/bin/env bash
# Builds everything (the Windows program, its tests, the native publisher tool) and runs every test.
# Usage: tools/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$repo/build}"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Every test runs once. A test that fails is named here and run once more, on its own, so that the run
# says which tests did not pass on their first run: each of them is a fault to find, not to hide.
if ctest -j"$(nproc)" --output-on-failure --timeout 1800; then
    exit 0
fi
failed="$build/Testing/Temporary/LastTestsFailed.log"
echo "Failed on their first run, run once more:" $(cut -d: -f2- "$failed" 2>/dev/null)
ctest --rerun-failed --output-on-failure --timeout 1800
