#!/usr/bin/env bash
# Configures, builds and tests the native publisher tool.
# Usage: tools/publisher/build-and-test.sh [BUILD_DIR]   (default: <repo>/build-publisher)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="${1:-$repo/build-publisher}"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure
