#!/usr/bin/env bash
# as_users_get_them.sh ROOT EVT_REPLAY CLOSE_WINDOW.exe: builds the release
# packages from a copy of the source at ROOT and uses them as their users do.
# The .deb is installed with apt-get (as root, else through sudo) and its
# evt-replay must print what EVT_REPLAY, the build tree's, prints over both
# samples, and its manual page must open with man; the package is removed
# again unless it was there before. The zip is unpacked, and under Wine its
# tallyvane.exe must show its window and close on Escape, and its
# tallyvane-replay.exe must show the rows EVT_REPLAY prints and answer --help.
set -uo pipefail
root=$(cd "$1" && pwd)
evt_replay=$2
close_window=$3
source "$root/tests/evt-replay/require.sh"
require git=git unzip=unzip man=man-db apt-get=apt
work=$(mktemp -d)
package=tallyvane-evt-replay
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
installed_before=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -c 'install ok installed')
cleanup() {
    [ "$installed_before" -ne 0 ] || $sudo apt-get purge -y -qq "$package" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
export TZ=Etc/GMT+5
samples=("$root/samples/SysEvent.Evt" "$root/samples/System.evtx")
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

mkdir -p "$work/source"
(cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work/source")
(cd "$work/source" && scripts/package >package.log 2>&1) || { tail -20 "$work/source/package.log"; exit 1; }
dist=$work/source/dist

# The .deb, as apt installs it.
if DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$dist/${package}_"*.deb >"$work/apt.log" 2>&1; then
    [ "$(command -v evt-replay)" = /usr/bin/evt-replay ] || fail "evt-replay is not /usr/bin/evt-replay but '$(command -v evt-replay)'"
    for sample in "${samples[@]}"; do
        for format in text csv; do
            if ! cmp -s <(/usr/bin/evt-replay --format=$format "$sample" 2>&1) <("$evt_replay" --format=$format "$sample" 2>&1); then
                fail "the installed evt-replay --format=$format prints other rows than the build tree's over $(basename "$sample")"
            fi
        done
    done
    heading=$(MANPAGER=cat MANWIDTH=80 man evt-replay 2>&1 | grep -m1 -A1 '^NAME' | tail -1 | tr -s ' ')
    [[ "$heading" == *"evt-replay - "* ]] || fail "man evt-replay does not open on its NAME: '$heading'"
else
    fail "apt-get could not install the .deb: $(tail -2 "$work/apt.log" | paste -sd ' ')"
fi

# The zip, as a Windows user unpacks it.
unzip -q "$dist/tallyvane-1.0-x86.zip" -d "$work/unzipped" || fail "the zip does not unpack"
python3 "$root/tests/program/release_check.py" "$work/unzipped/tallyvane.exe" "$close_window" escape ||
    fail "the unpacked tallyvane.exe did not show its window and close on Escape"
for sample in "${samples[@]}"; do
    "$root/scripts/with-wine" "$work/unzipped/tallyvane-replay.exe" "$sample" --dump >"$work/rows" 2>"$work/said"
    status=$?
    [ $status -eq 0 ] || fail "the unpacked tallyvane-replay.exe over $(basename "$sample"): exit code $status"
    "$evt_replay" "$sample" >"$work/expected" 2>/dev/null
    cmp -s "$work/rows" "$work/expected" ||
        fail "the unpacked tallyvane-replay.exe shows other rows than evt-replay over $(basename "$sample"): $(head -2 "$work/rows" | paste -sd ' ')"
done
"$root/scripts/with-wine" "$work/unzipped/tallyvane-replay.exe" --help >"$work/help" 2>&1 && grep -q '^usage: tallyvane-replay' "$work/help" ||
    fail "the unpacked tallyvane-replay.exe --help: $(head -1 "$work/help")"

[ $failures -eq 0 ] && echo "the installed .deb and the unpacked programs give the build tree's rows"
exit $((failures > 0))
