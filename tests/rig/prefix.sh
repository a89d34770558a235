#!/usr/bin/env bash
# Test prefix management: "ensure" creates the prefix once (and refreshes what the tests install
# into it), keeps one persistent wineserver running with its output detached from the caller;
# "serve" starts the wineserver and Wine's services only if they are not running; "stop" ends the
# wineserver and with it every process of the prefix.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/wine-env.sh"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$TOV_RIG_DIR"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

start_server() {
    # Wine's background services inherit the output of the process that starts them, so start them
    # here with every stream detached: a test runner reading a pipe would otherwise wait forever.
    # The lock descriptor must not leak into the long-lived server and services (9>&-).
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    start_services
}

start_services() {
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    hold_desktop
}

# Wine's desktop process (explorer.exe) is otherwise started by the first program that needs it, keeps
# that program's error output open, and ends a second after the last program leaves the desktop: a test
# reading that output waits until then, and the next program starts a desktop again. One idle program,
# started here with every stream detached, holds the desktop for the prefix's life, as a Windows
# session's desktop stays. It ends with the wineserver.
hold_desktop() {
    local holder="$TOV_BUILD_DIR/tests/idlethreads.exe" ready="$TOV_RIG_DIR/desktop.ready"
    [ -f "$holder" ] || return 0
    rm -f "$ready"
    setsid wine "$holder" desktop "$(winpath "$ready")" </dev/null >/dev/null 2>&1 9>&- &
    # A holder that finds another one ends at once without a file: the desktop is held already.
    local pid=$! i
    for i in $(seq 1200); do
        if [ -f "$ready" ] || ! kill -0 "$pid" 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "prefix.sh: the desktop did not come up" >&2
    return 1
}

serve() {
    exec 9>"$TOV_RIG_DIR/prefix.lock"
    flock 9
    # "wineserver -p" ends at once with 2 when a server runs already.
    if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then start_services; fi
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }

reg_add() { wine reg add "$@" /f </dev/null >/dev/null 2>&1 9>&-; }

install_file() { # src dst: copy only when changed
    if [ -f "$1" ] && ! cmp -s "$1" "$2"; then mkdir -p "$(dirname "$2")"; cp -f "$1" "$2"; fi
}

ensure() {
    exec 9>"$TOV_RIG_DIR/prefix.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.tov-ready" ]; then
        wineserver -k >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
        wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
        wine wineboot -i </dev/null >/dev/null 2>&1 9>&-
        # Chinese texts in windows: map the usual CJK faces to an installed font.
        for face in "SimSun" "Microsoft YaHei" "Microsoft YaHei UI" "PMingLiU" "MS UI Gothic" "NSimSun"; do
            reg_add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Zen Hei"
        done
        # The tests' PowerShell stand-in replaces Wine's built-in stub only with a native override.
        reg_add 'HKCU\Software\Wine\DllOverrides' /v powershell.exe /d native
        touch "$WINEPREFIX/.tov-ready"
    fi
    start_server
    # Refresh what the tests install into the prefix from the current build.
    install_file "$TOV_BUILD_DIR/tests/powershell.exe" \
        "$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0/powershell.exe"
    if [ -x "$here/certs.sh" ]; then
        "$here/certs.sh" "$TOV_RIG_DIR/certs" >/dev/null
        if [ -f "$TOV_BUILD_DIR/tests/trustca.exe" ] &&
           ! cmp -s "$TOV_RIG_DIR/certs/ca.der" "$WINEPREFIX/.tov-ca-trusted"; then
            wine "$TOV_BUILD_DIR/tests/trustca.exe" "$(winpath "$TOV_RIG_DIR/certs/ca.der")" </dev/null >/dev/null 2>&1 9>&-
            cp "$TOV_RIG_DIR/certs/ca.der" "$WINEPREFIX/.tov-ca-trusted"
        fi
    fi
}

stop() {
    wineserver -k >/dev/null 2>&1 || true
}

case "${1:-}" in
    ensure) ensure ;;
    serve) serve ;;
    stop) stop ;;
    *) echo "usage: prefix.sh ensure|serve|stop" >&2; exit 64 ;;
esac
