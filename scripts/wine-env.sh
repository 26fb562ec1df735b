# Sourced by the scripts that run Windows programs: the project's own Wine
# prefixes under build/, one per machine, kept warm.
#
# x86_64 programs run in 64-bit Wine, its loader called by its own name: once
# the 32-bit Wine is installed, plain `wine` picks the 32-bit loader for every
# program. i686 programs run in 32-bit Wine, a prefix of its own. Most x86_64
# kernels run its i386 ELF loader themselves; one that refuses i386 programs
# runs it through qemu-i386 (version 10 or later; 7.2 cannot reserve the
# address Wine needs), registered with binfmt_misc by scripts/install-deps,
# since Wine re-executes its own loader. scripts/install-deps sources this
# file for the same decision.
#
# A cold Wine spends seconds per program starting its helper processes; a
# persistent wineserver and one Windows process that stays alive keep them
# running between programs.

TALLYVANE_ROOT=${TALLYVANE_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
WINE64_LOADER=/usr/lib/wine/wine64
WINE32_LOADER=/usr/lib/wine/wine
WINE32_BINFMT=/proc/sys/fs/binfmt_misc/tallyvane-i386
WINE32_QEMU=/usr/bin/qemu-i386
WINE=""
WINE_ARCH=""
declare -A WINE_KEEPER_PIDS=()
VIRTUAL_DISPLAY_PID=""

# pe_machine FILE: prints x86_64 or i686 for a Windows program; fails otherwise.
pe_machine() {
    local header
    header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 1
    [ -n "$header" ] || return 1
    case $(od -An -tx2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' ') in
        8664) echo x86_64 ;;
        014c) echo i686 ;;
        *) return 1 ;;
    esac
}

# qemu_i386_recent: succeeds if $WINE32_QEMU is version 10 or later.
qemu_i386_recent() {
    [ -x "$WINE32_QEMU" ] && "$WINE32_QEMU" --version 2>/dev/null | grep -qE 'version ([1-9][0-9])\.'
}

# qemu_i386_registered: succeeds if the project's binfmt_misc entry is enabled
# and sends i386 programs to $WINE32_QEMU.
qemu_i386_registered() {
    grep -qx enabled "$WINE32_BINFMT" 2>/dev/null && grep -qx "interpreter $WINE32_QEMU" "$WINE32_BINFMT"
}

# i386_probe_copy FILE COPY: copies FILE, setting the last padding byte of an
# ELF header. The kernel ignores that byte; binfmt_misc entries for i386
# programs (ours, and qemu's own) want it zero, so none of them claims COPY.
i386_probe_copy() {
    cp "$1" "$2" || return 1
    if [ "$(head -c4 "$2" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
        printf '\001' | dd of="$2" bs=1 seek=15 conv=notrunc status=none || return 1
    fi
}

# i386_kernel_runs LOADER: succeeds if this kernel starts LOADER by itself,
# with no binfmt_misc entry in the way, whether or not ours is enabled. The
# copy it runs cannot find Wine's libraries from where it lies, so only
# whether it started counts: the shell's 126 and 127 say it did not.
i386_kernel_runs() {
    local dir status=0
    dir=$(mktemp -d) || return 1
    if i386_probe_copy "$1" "$dir/loader" 2>/dev/null; then
        "$dir/loader" --version >/dev/null 2>&1 || status=$?
    else
        status=126
    fi
    rm -rf "$dir"
    [ "$status" -ne 126 ] && [ "$status" -ne 127 ]
}

# wine32_problem: prints why i686 programs cannot run here, or nothing when
# they can. TALLYVANE_NO_WINE32=WHY pretends they cannot, for WHY, so that
# the skipped path of scripts/test can be tried on any machine.
wine32_problem() {
    local refused="this kernel does not run i386 programs itself and"
    if [ -n "${TALLYVANE_NO_WINE32:-}" ]; then
        echo "$TALLYVANE_NO_WINE32 (TALLYVANE_NO_WINE32)"
    elif [ ! -x "$WINE32_LOADER" ]; then
        echo "the 32-bit Wine loader $WINE32_LOADER is missing (package wine32:i386)"
    elif qemu_i386_registered && qemu_i386_recent; then
        return 0
    elif i386_kernel_runs "$WINE32_LOADER"; then
        return 0
    elif [ ! -x "$WINE32_QEMU" ]; then
        echo "$refused $WINE32_QEMU is missing (package qemu-user, version 10 or later)"
    elif ! qemu_i386_recent; then
        echo "$refused $("$WINE32_QEMU" --version | head -1) is older than 10, which 32-bit Wine needs"
    else
        echo "$refused they are not registered with binfmt_misc to run through qemu ($WINE32_BINFMT; see scripts/install-deps)"
    fi
}

# wine_use ARCH: points Wine at the project's prefix and loader for x86_64 or
# i686, and sets WINE to that loader. Fails, saying why, if ARCH cannot run.
wine_use() {
    case $1 in
        x86_64)
            if [ ! -x "$WINE64_LOADER" ]; then
                echo "cannot run x86_64 programs: needs $WINE64_LOADER: install wine64" >&2
                return 1
            fi
            export WINEPREFIX="$TALLYVANE_ROOT/build/wine/prefix"
            unset WINEARCH
            export WINELOADER=$WINE64_LOADER
            ;;
        i686)
            local problem
            problem=$(wine32_problem)
            if [ -n "$problem" ]; then
                echo "cannot run i686 programs: $problem" >&2
                return 1
            fi
            export WINEPREFIX="$TALLYVANE_ROOT/build/wine32/prefix"
            export WINEARCH=win32
            export WINELOADER=$WINE32_LOADER
            ;;
        *)
            echo "no Wine for machine '$1'" >&2
            return 1
            ;;
    esac
    WINE_ARCH=$1
    WINE=$WINELOADER
}

# Makes the current prefix if it is not there yet (seconds for x86_64, a
# minute under qemu for i686; once). Its windows are not handed to an X window
# manager: Wine then draws their captions itself, and destroying a window does
# not wait for a manager that is not there. Wine draws the caption buttons in
# its Marlett font (package fonts-wine), from a folder that Debian's Wine does
# not search by itself, so the prefix names it.
# A prefix made before a setting here was added gets the settings once.
wine_prefix_ready() {
    local stamp="$WINEPREFIX/tallyvane-settings-1"
    [ -f "$stamp" ] && return 0
    mkdir -p "$WINEPREFIX"
    [ -f "$WINEPREFIX/system.reg" ] || "$WINE" wineboot.exe -i >/dev/null 2>&1 || true
    "$WINE" reg.exe add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$WINE" reg.exe add 'HKCU\Software\Wine\Fonts' /v Path /d 'Z:\usr\share\wine\fonts' /f >/dev/null 2>&1
    wineserver -w
    touch "$stamp"
}

# Gives the programs a virtual X display (Xvfb) when there is no display.
# A display whose files are not in this /tmp may still be taken: an X server
# in another root (a chroot, a container) that shares this network namespace
# holds its abstract socket. Xvfb then ends at once, and the next number is
# tried.
virtual_display_up() {
    [ -n "${DISPLAY:-}" ] && return 0
    command -v Xvfb >/dev/null || { echo "needs Xvfb: install xvfb" >&2; return 1; }
    local n
    for n in $(seq 90 149); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        VIRTUAL_DISPLAY_PID=$!
        for _ in $(seq 600); do  # up to 30 s on a loaded machine
            if [ -e "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            kill -0 "$VIRTUAL_DISPLAY_PID" 2>/dev/null || break
            sleep 0.05
        done
        if kill -0 "$VIRTUAL_DISPLAY_PID" 2>/dev/null; then
            kill "$VIRTUAL_DISPLAY_PID"
            VIRTUAL_DISPLAY_PID=""
            echo "Xvfb did not start on :$n within 30 s" >&2
            return 1
        fi
        VIRTUAL_DISPLAY_PID=""
    done
    echo "Xvfb found no free display from :90 to :149" >&2
    return 1
}

virtual_display_down() {
    [ -n "$VIRTUAL_DISPLAY_PID" ] && kill "$VIRTUAL_DISPLAY_PID" 2>/dev/null || true
    VIRTUAL_DISPLAY_PID=""
}

# wine_warm_up ARCH: makes that prefix if needed, starts its persistent
# server and its keeper, then warms up with one run.
wine_warm_up() {
    wine_use "$1" || return 1
    wine_prefix_ready
    wineserver -p
    "$WINE" cmd.exe /c "ping -n 100000 127.0.0.1 >nul" >/dev/null 2>&1 &
    WINE_KEEPER_PIDS[$1]=$!
    "$WINE" cmd.exe /c "exit 0" >/dev/null 2>&1 || true
}

# wine_cool_down ARCH: ends that prefix's keeper and server.
wine_cool_down() {
    wine_use "$1" 2>/dev/null || return 0
    [ -n "${WINE_KEEPER_PIDS[$1]:-}" ] && kill "${WINE_KEEPER_PIDS[$1]}" 2>/dev/null || true
    unset "WINE_KEEPER_PIDS[$1]"
    wineserver -k 2>/dev/null || true
}
