# Sourced by the scripts that run Windows programs: the project's own Wine
# prefix under build/, kept warm. A cold Wine spends about 3 s per program
# starting its helper processes; a persistent wineserver and one Windows
# process that stays alive keep them running between programs.

TALLYVANE_ROOT=${TALLYVANE_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX="$TALLYVANE_ROOT/build/wine/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
WINE_KEEPER_PID=""

# Makes the prefix if it is not there yet (about 7 s, once).
wine_prefix_ready() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
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
