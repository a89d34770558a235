#!/usr/bin/env bash
# Test emulator: runs a Windows executable in the tests' prefix.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
: "${TOV_BUILD_DIR:=$(cd "$here/../.." && pwd)/build}"
export TOV_BUILD_DIR
source "$here/wine-env.sh"
if [ ! -f "$WINEPREFIX/.tov-ready" ]; then
    "$here/prefix.sh" ensure
else
    # The persistent server, Wine's services and the desktop, detached from our caller's output (a test
    # runner reading a pipe would otherwise wait for them forever).
    "$here/prefix.sh" serve
fi
# With TOV_TEMP_DIR set, the program runs with that temporary directory ("fresh": a new one), so tests
# that read the program's log in %TEMP% never see another test's lines.
withtemp="$TOV_BUILD_DIR/tests/withtemp.exe"
if [ -f "$withtemp" ] && [ $# -gt 0 ] && [ -n "${TOV_TEMP_DIR:-}" ]; then
    temp="$TOV_TEMP_DIR"
    if [ "$temp" = fresh ]; then
        mkdir -p "$TOV_RIG_DIR/tmp"
        temp="$(mktemp -d "$TOV_RIG_DIR/tmp/run-XXXXXX")"
    fi
    mkdir -p "$temp"
    program="$1"
    shift
    if [ -f "$program" ]; then program="Z:$(realpath "$program" | sed 's|/|\\|g')"; fi
    exec wine "$withtemp" "Z:$(realpath "$temp" | sed 's|/|\\|g')" "$program" "$@"
fi
exec wine "$@"
