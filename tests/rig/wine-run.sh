#!/usr/bin/env bash
# Test emulator: runs a Windows executable in the tests' prefix.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
: "${TOV_BUILD_DIR:=$(cd "$here/../.." && pwd)/build}"
export TOV_BUILD_DIR
source "$here/wine-env.sh"
[ -f "$WINEPREFIX/.tov-ready" ] || "$here/prefix.sh" ensure
exec wine "$@"
