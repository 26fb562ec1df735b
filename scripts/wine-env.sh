# Sourced by the scripts that run Windows programs: the project's own Wine
# prefix under build/, kept warm. A cold Wine spends about 3 s per program
# starting its helper processes; a persistent wineserver and one Windows
# process that stays alive keep them running between programs.

TALLYVANE_ROOT=${TALLYVANE_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX="$TALLYVANE_ROOT/build/wine/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
WINE_KEEPER_PID=""

VIRTUAL_DISPLAY_PID=""

# Makes the prefix if it is not there yet (about 7 s, once). Its windows are
# not handed to an X window manager: Wine then draws their captions itself,
# and destroying a window does not wait for a manager that is not there.
wine_prefix_ready() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
    fi
}

# Gives the programs a virtual X display (Xvfb) when there is no display.
virtual_display_up() {
    [ -n "${DISPLAY:-}" ] && return 0
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    VIRTUAL_DISPLAY_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && return 0
        sleep 0.05
    done
    echo "Xvfb did not start on $DISPLAY" >&2
    return 1
}

virtual_display_down() {
    [ -n "$VIRTUAL_DISPLAY_PID" ] && kill "$VIRTUAL_DISPLAY_PID" 2>/dev/null || true
    VIRTUAL_DISPLAY_PID=""
}

# Starts the persistent server and the keeper, then warms up with one run.
wine_warm_up() {
    wine_prefix_ready
    wineserver -p
    wine cmd.exe /c "ping -n 100000 127.0.0.1 >nul" >/dev/null 2>&1 &
    WINE_KEEPER_PID=$!
    wine cmd.exe /c "exit 0" >/dev/null 2>&1 || true
}

# Ends the keeper and the server.
wine_cool_down() {
    [ -n "$WINE_KEEPER_PID" ] && kill "$WINE_KEEPER_PID" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    WINE_KEEPER_PID=""
}
