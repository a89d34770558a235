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
    # Make sure the persistent server and Wine's services run detached from our caller's output
    # (a test runner reading a pipe would otherwise wait for them forever).
    mkdir -p "$TOV_RIG_DIR"
    exec 9>"$TOV_RIG_DIR/prefix.lock"
    flock 9
    # The lock descriptor must not leak into the long-lived server and services (9>&-).
    if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
    exec 9>&-
fi
exec wine "$@"
