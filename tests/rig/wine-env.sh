# Sourced with TOV_BUILD_DIR set: the tests' own headless Wine prefix under the build tree.
# Nothing reaches the real home or the system.
: "${TOV_BUILD_DIR:?TOV_BUILD_DIR must name the build directory}"
export WINEPREFIX="$TOV_BUILD_DIR/wine"
export WINEARCH=win64
# Unhandled exceptions are still reported, so a Windows process that dies says where.
export WINEDEBUG="${TOV_WINEDEBUG:--all,err+seh}"
# TOV_EXTRA_DLLOVERRIDES: more overrides for one run (the planted-DLL tests ask for native-first loading).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${TOV_EXTRA_DLLOVERRIDES:+;$TOV_EXTRA_DLLOVERRIDES}"
export HOME="$TOV_BUILD_DIR/home"
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$TOV_BUILD_DIR/run"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
unset DISPLAY
TOV_WINE_USER="$(id -un)"
export TOV_WINE_USER
export TOV_WINE_TEMP="$WINEPREFIX/drive_c/users/$TOV_WINE_USER/Temp"
export TOV_RIG_DIR="$TOV_BUILD_DIR/rig"
