# Sourced by the Windows test steps: one Wine prefix inside the x86_64 build
# folder, created on first use, with Wine's debug output off.
BUILD_WIN64=${BUILD_WIN64:-$ROOT/build/win64}
export WINEPREFIX=$BUILD_WIN64/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko install prompts

wine_init() {
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix (first start takes a while)"
        timeout 300 wineboot -i >/dev/null 2>&1
        timeout 120 wineserver -w
    fi
}

wine_stop() { WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true; }
