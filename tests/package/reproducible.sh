#!/usr/bin/env bash
# reproducible.sh ROOT: builds the release packages in two fresh copies of the
# source tree at ROOT, in folders of different names and depths, and checks
# that both give the same dist/ files, byte for byte (the zip, the .deb and
# SHA256SUMS), and that SHA256SUMS names both packages and the two programs
# inside the zip with their checksums, and that the zip carries the licence.
set -euo pipefail
root=$(cd "$1" && pwd)
source "$root/tests/evt-replay/require.sh"
require git=git unzip=unzip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

copies=("$work/a" "$work/second/copy-b")
for copy in "${copies[@]}"; do
    mkdir -p "$copy"
    # What a clone holds: the tracked files, and any new ones not yet committed.
    (cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$copy")
    (cd "$copy" && scripts/package >package.log 2>&1) || { tail -20 "$copy/package.log"; exit 1; }
done

status=0
for file in tallyvane-1.0-x86.zip "tallyvane-evt-replay_1.0-1_$(dpkg --print-architecture).deb" SHA256SUMS; do
    if ! cmp "${copies[0]}/dist/$file" "${copies[1]}/dist/$file"; then
        echo "FAIL dist/$file differs between two builds of the same source"
        status=1
    fi
done
unzip -q "${copies[0]}/dist/tallyvane-1.0-x86.zip" tallyvane.exe tallyvane-replay.exe -d "${copies[0]}/dist"
(cd "${copies[0]}/dist" && sha256sum -c --strict SHA256SUMS) || status=1
unzip -p "${copies[0]}/dist/tallyvane-1.0-x86.zip" LICENSE.txt | tr -d '\r' | cmp -s - "$root/LICENSE" ||
    { echo "FAIL the zip's LICENSE.txt is not LICENSE"; status=1; }
[ "$(wc -l <"${copies[0]}/dist/SHA256SUMS")" -eq 4 ] || { echo "FAIL SHA256SUMS should name 4 files"; status=1; }
[ $status -eq 0 ] && echo "the packages are the same from both copies: $(head -2 "${copies[0]}/dist/SHA256SUMS" | paste -sd ' ')"
exit $status
