#!/usr/bin/env bash
# The demo: builds the program, makes a demo package and a signed manifest, serves them from nginx on
# loopback and installs with the real exe under Wine. Run it twice to see the cache reused.
# Usage: tools/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$repo/build}"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >"$build/demo-build.log" 2>&1 || { tail -40 "$build/demo-build.log"; exit 1; }
TOV_BUILD_DIR="$build" "$repo/tests/rig/prefix.sh" ensure
TOV_BUILD_DIR="$build" TOV_SOURCE_DIR="$repo" exec python3 "$repo/tools/demo.py"
