#!/usr/bin/env bash
# deb_contents.sh ROOT: builds the Debian package of evt-replay from the source
# at ROOT (scripts/package-deb, in a folder of its own) and checks it with
# dpkg-deb: its control fields, the Depends dpkg-shlibdeps read from the tool
# among them, that it holds exactly the tool, its manual page, changelog,
# copyright file and lintian's overrides, owned by root with fixed times and
# modes, that the tool it holds is linked dynamically, runs, and has no build
# path in it, and that lintian finds no error and no warning in it.
set -euo pipefail
root=$(cd "$1" && pwd)
source "$root/tests/evt-replay/require.sh"
require lintian=lintian dpkg-shlibdeps=dpkg-dev file=file
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
deb=$("$root/scripts/package-deb" "$work/build" "$work/out")

problems=()
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tallyvane-evt-replay ] || problems+=("Package is $(field Package)")
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || problems+=("Architecture is $(field Architecture)")
# What the dynamically linked tool needs, with the versions dpkg-shlibdeps found:
# the unwinder (libgcc-s1) too, for the one parser that reports by throwing.
[[ "$(field Depends)" =~ ^libc6\ \(\>=\ [0-9.]+\),\ libgcc-s1\ \(\>=\ [0-9.]+\),\ libstdc\+\+6\ \(\>=\ [0-9.]+\)$ ]] ||
    problems+=("Depends should name libc6, libgcc-s1 and libstdc++6 with their versions, not '$(field Depends)'")
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || problems+=("Maintainer is not a name and an address")
[ -n "$(field Description)" ] || problems+=("no Description")
[ "$(basename "$deb")" = "tallyvane-evt-replay_$(field Version)_$(field Architecture).deb" ] ||
    problems+=("file name $(basename "$deb") does not follow the fields")

# Mode, owner, date and path of every entry: one fixed time, root's.
expected="drwxr-xr-x root/root 2024-01-01 00:00 ./usr/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/bin/
-rwxr-xr-x root/root 2024-01-01 00:00 ./usr/bin/evt-replay
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/doc/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/doc/tallyvane-evt-replay/
-rw-r--r-- root/root 2024-01-01 00:00 ./usr/share/doc/tallyvane-evt-replay/changelog.Debian.gz
-rw-r--r-- root/root 2024-01-01 00:00 ./usr/share/doc/tallyvane-evt-replay/copyright
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/lintian/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/lintian/overrides/
-rw-r--r-- root/root 2024-01-01 00:00 ./usr/share/lintian/overrides/tallyvane-evt-replay
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/man/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/man/man1/
-rw-r--r-- root/root 2024-01-01 00:00 ./usr/share/man/man1/evt-replay.1.gz"
listed=$(TZ=UTC dpkg-deb -c "$deb" | awk '{print $1, $2, $4, $5, $6}')
[ "$listed" = "$expected" ] || problems+=("contents:"$'\n'"$listed")

dpkg-deb -x "$deb" "$work/root"
tool=$work/root/usr/bin/evt-replay
version=$("$tool" --version) || problems+=("the packaged evt-replay --version failed")
# The tool says the upstream version, without the Debian revision.
[ "$version" = "evt-replay (Tallyvane) $(field Version | sed 's/-[^-]*$//')" ] || problems+=("--version says '$version'")
readelf -l "$tool" | grep -q 'program interpreter' || problems+=("evt-replay is not linked dynamically")
sections=$(readelf -S -W "$tool" | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\) .*/\1/p' | grep -x -e .comment -e .note |
           paste -sd ' ') || true
[ -z "$sections" ] || problems+=("evt-replay keeps sections a Debian build strips: $sections")
grep -q -a -F -e "$root" -e "$work" "$tool" && problems+=("evt-replay holds a build path")
doc=$work/root/usr/share/doc/tallyvane-evt-replay
cmp -s "$doc/copyright" "$root/packaging/copyright" || problems+=("the copyright file is not packaging/copyright")
# The licence's own text, as DEP-5 indents it, is the copyright file's licence of Tallyvane's files.
licence=$(sed -n '5,$p' "$root/LICENSE" | sed -e 's/^$/./' -e 's/^/ /')
grep -q -F "Copyright: $(sed -n 's/^Copyright (c) //p' "$root/LICENSE")" "$doc/copyright" &&
    [[ "$(cat "$doc/copyright")" == *"License: Expat"$'\n'"$licence"* ]] ||
    problems+=("the copyright file does not hold LICENSE's holder and text")
zcat "$doc/changelog.Debian.gz" | head -1 | grep -q -F "tallyvane-evt-replay ($(field Version)) " ||
    problems+=("the changelog's latest entry is not version $(field Version)")
zcat "$work/root/usr/share/man/man1/evt-replay.1.gz" | cmp -s - "$root/evt-replay/evt-replay.1" ||
    problems+=("the manual page is not evt-replay/evt-replay.1")

# Errors and warnings only: lintian's informational tags are advice. A lintian
# that cannot run is a failure, not a clean report.
if report=$(lintian --fail-on none "$deb" 2>"$work/lintian.err"); then
    verdict=$(grep -E '^[EW]: ' <<<"$report") || true
    [ -z "$verdict" ] || problems+=("lintian:"$'\n'"$verdict")
else
    problems+=("lintian did not run: $(grep -v 'root privileges' "$work/lintian.err" | tail -1)")
fi

for problem in "${problems[@]}"; do echo "FAIL $problem"; done
echo "$(basename "$deb"): $(dpkg-deb -c "$deb" | wc -l) entries, ${#problems[@]} problems"
[ ${#problems[@]} -eq 0 ]
