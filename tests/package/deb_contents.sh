#!/usr/bin/env bash
# deb_contents.sh ROOT: builds the Debian package of evt-replay from the source
# at ROOT (scripts/package-deb, in a folder of its own) and checks it with
# dpkg-deb: its control fields, that it holds exactly the tool, its manual
# page and its copyright file, owned by root with fixed times and modes, and
# that the tool it holds runs with no library and no build path in it.
set -euo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
deb=$("$root/scripts/package-deb" "$work/build" "$work/out")

problems=()
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tallyvane-evt-replay ] || problems+=("Package is $(field Package)")
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || problems+=("Architecture is $(field Architecture)")
[ -z "$(field Depends)" ] || problems+=("a static program depends on nothing, not $(field Depends)")
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || problems+=("no Maintainer or Description")
[ "$(basename "$deb")" = "tallyvane-evt-replay_$(field Version)_$(field Architecture).deb" ] ||
    problems+=("file name $(basename "$deb") does not follow the fields")

# Mode, owner, date and path of every entry: one fixed time, root's.
expected="drwxr-xr-x root/root 2024-01-01 00:00 ./usr/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/bin/
-rwxr-xr-x root/root 2024-01-01 00:00 ./usr/bin/evt-replay
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/doc/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/doc/tallyvane-evt-replay/
-rw-r--r-- root/root 2024-01-01 00:00 ./usr/share/doc/tallyvane-evt-replay/copyright
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/man/
drwxr-xr-x root/root 2024-01-01 00:00 ./usr/share/man/man1/
-rw-r--r-- root/root 2024-01-01 00:00 ./usr/share/man/man1/evt-replay.1.gz"
listed=$(TZ=UTC dpkg-deb -c "$deb" | awk '{print $1, $2, $4, $5, $6}')
[ "$listed" = "$expected" ] || problems+=("contents:"$'\n'"$listed")

dpkg-deb -x "$deb" "$work/root"
tool=$work/root/usr/bin/evt-replay
version=$("$tool" --version) || problems+=("the packaged evt-replay --version failed")
[ "$version" = "evt-replay (Tallyvane) $(field Version)" ] || problems+=("--version says '$version'")
readelf -l "$tool" | grep -q 'program interpreter' && problems+=("evt-replay is not linked statically")
grep -q -a -F -e "$root" -e "$work" "$tool" && problems+=("evt-replay holds a build path")
cmp -s "$work/root/usr/share/doc/tallyvane-evt-replay/copyright" "$root/packaging/copyright" ||
    problems+=("the copyright file is not packaging/copyright")
zcat "$work/root/usr/share/man/man1/evt-replay.1.gz" | cmp -s - "$root/tools/evt-replay.1" ||
    problems+=("the manual page is not tools/evt-replay.1")

for problem in "${problems[@]}"; do echo "FAIL $problem"; done
echo "$(basename "$deb"): $(dpkg-deb -c "$deb" | wc -l) entries, ${#problems[@]} problems"
[ ${#problems[@]} -eq 0 ]
