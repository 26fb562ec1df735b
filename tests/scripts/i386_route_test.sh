#!/usr/bin/env bash
# i386_route_test.sh ROOT: drives the decision that scripts/install-deps and
# scripts/wine-env.sh share, whether i386 programs need the qemu route here,
# with stand-in loaders, qemu and binfmt_misc entries; touches neither apt
# nor the machine's binfmt_misc.
set -uo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$root/scripts/install-deps"
unset TALLYVANE_NO_WINE32  # a run of scripts/test that skips the i686 run sets it

# stand_in NAME EXIT LINE: writes an executable script that prints LINE
# (to stderr unless EXIT is 0) and exits with EXIT.
stand_in() {
    local redirect=">&2"
    [ "$2" -ne 0 ] || redirect=""
    printf '#!/bin/sh\necho "%s" %s\nexit %s\n' "$3" "$redirect" "$2" >"$work/$1"
    chmod +x "$work/$1"
}

stand_in loader-native 0 "wine-8.0 (Debian 8.0~repack-4)"
# What the probe's copy of a real loader does on a kernel that runs it.
stand_in loader-starts 1 "wine: could not load ntdll.so: cannot open shared object file"
stand_in loader-refused 126 "loader: cannot execute binary file: Exec format error"
stand_in loader-no-interpreter 127 "loader: No such file or directory"
stand_in qemu-recent 0 "qemu-i386 version 10.0.2 (Debian 1:10.0.2+ds-2~bpo12+1)"
stand_in qemu-old 0 "qemu-i386 version 7.2.17 (Debian 1:7.2+dfsg-7+deb12u16)"
printf 'enabled\ninterpreter %s\nflags: F\n' "$work/qemu-recent" >"$work/entry-enabled"
printf 'disabled\ninterpreter %s\nflags: F\n' "$work/qemu-recent" >"$work/entry-disabled"
printf 'enabled\ninterpreter %s\nflags: F\n' "$work/qemu-old" >"$work/entry-other-qemu"

failures=0
# fail MESSAGE: reports one failed check.
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# loader | qemu | binfmt entry | plan install-deps acts on | what wine32_problem says ("" = nothing)
cases=(
    "loader-native|qemu-absent|entry-absent||"
    "loader-starts|qemu-absent|entry-absent||"
    "loader-native|qemu-recent|entry-enabled|unregister|"
    "loader-native|qemu-absent|entry-disabled|unregister|"
    "loader-refused|qemu-absent|entry-absent|qemu register|does not run i386 programs itself and $work/qemu-absent is missing"
    "loader-refused|qemu-old|entry-absent|qemu register|older than 10"
    "loader-refused|qemu-recent|entry-absent|register|not registered with binfmt_misc"
    "loader-refused|qemu-recent|entry-disabled|register|not registered with binfmt_misc"
    "loader-refused|qemu-recent|entry-other-qemu|register|not registered with binfmt_misc"
    "loader-refused|qemu-recent|entry-enabled||"
    "loader-no-interpreter|qemu-recent|entry-absent|register|not registered with binfmt_misc"
    "loader-missing|qemu-recent|entry-enabled||package wine32:i386"
)
for case in "${cases[@]}"; do
    IFS='|' read -r loader qemu entry want_plan want_problem <<<"$case"
    WINE32_LOADER=$work/$loader WINE32_QEMU=$work/$qemu WINE32_BINFMT=$work/$entry
    plan=$(i386_plan "$WINE32_LOADER" | paste -sd' ')
    problem=$(wine32_problem)
    echo "$loader, $qemu, $entry: plan [${plan}]; problem [${problem}]"
    [ "$plan" = "$want_plan" ] || fail "$case: plan is [$plan]"
    if [ -z "$want_problem" ]; then
        [ -z "$problem" ] || fail "$case: i686 programs should run, but: $problem"
    elif [[ "$problem" != *"$want_problem"* ]]; then
        fail "$case: the problem should say '$want_problem', not [$problem]"
    fi
done

WINE32_LOADER=$work/loader-native WINE32_QEMU=$work/qemu-absent WINE32_BINFMT=$work/entry-absent
problem=$(TALLYVANE_NO_WINE32="asked to skip" wine32_problem)
[ "$problem" = "asked to skip (TALLYVANE_NO_WINE32)" ] || fail "TALLYVANE_NO_WINE32 is not honoured: [$problem]"

# The route round a security suite whose i386 index will not load: apt,
# apt-cache and dpkg-query stand in for a world where wine32 needs the i386
# twins of some amd64 packages, and apt names one twin it cannot install per
# simulation, as it names the first it gives up on.
# installed amd64 versions | i386 candidates | the pins twins_to_align prints ("!" = it fails)
declare -A amd64 i386
twin_cases=(
    "||"
    "gst=u7|gst=u6|gst:amd64=u6"
    "gst=u7 ssl=s2|gst=u6 ssl=s1|gst:amd64=u6 ssl:amd64=s1"
    "stuck=u6|stuck=u6|!"
    "gst=u7|gst=(none)|!"
)
apt-cache() { echo "  Candidate: ${i386[${2%:i386}]:-(none)}"; }
dpkg-query() { local name=${3%:amd64}; [ -n "${amd64[$name]:-}" ] && printf "%s" "${amd64[$name]}"; }
apt-get() {
    local argument name pinned=" "
    for argument in "$@"; do [[ $argument == *:amd64=* ]] && pinned+="${argument%%:*}=${argument#*=} "; done
    for name in $(printf '%s\n' "${!amd64[@]}" | sort); do
        [[ $pinned == *" $name=${i386[$name]} "* ]] && continue
        [ "${amd64[$name]}" = "${i386[$name]}" ] && [ "$name" != stuck ] && continue
        echo " libwine:i386 : Depends: $name:i386 (>= 1) but it is not going to be installed"
        return 100
    done
}
for case in "${twin_cases[@]}"; do
    IFS='|' read -r installed twins want <<<"$case"
    amd64=() i386=()
    for pair in $installed; do amd64[${pair%=*}]=${pair#*=}; done
    for pair in $twins; do i386[${pair%=*}]=${pair#*=}; done
    if pins=$(twins_to_align bookworm wine32:i386); then got=$(paste -sd' ' <<<"$pins"); else got="!"; fi
    echo "twins [$installed] against [$twins]: [$got]"
    [ "$got" = "$want" ] || fail "twins [$installed] against [$twins]: printed [$got], want [$want]"
done
unset -f apt-cache dpkg-query apt-get

# matches_entry FILE: succeeds if install-deps' binfmt_misc magic and mask
# claim FILE.
matches_entry() {
    local -a magic mask head
    read -ra magic <<<"$(printf "$I386_MAGIC" | od -An -v -tu1)"
    read -ra mask <<<"$(printf "$I386_MASK" | od -An -v -tu1)"
    read -ra head <<<"$(od -An -v -tu1 -N${#magic[@]} "$1")"
    [ ${#head[@]} -eq ${#magic[@]} ] || return 1
    local i
    for i in "${!magic[@]}"; do
        [ $((head[i] & mask[i])) -eq $((magic[i] & mask[i])) ] || return 1
    done
}

# The probe's copy of an i386 loader escapes our entry, one byte off the
# original, and the copy of a real program still runs on this kernel.
{ printf "$I386_MAGIC"; head -c 64 /dev/zero; } >"$work/i386-header"
i386_probe_copy "$work/i386-header" "$work/i386-copy"
matches_entry "$work/i386-header" || fail "the entry does not claim an i386 header"
matches_entry "$work/i386-copy" && fail "the entry still claims the probe's copy"
[ "$(cmp -l "$work/i386-header" "$work/i386-copy" | wc -l)" -eq 1 ] || fail "the probe's copy differs in more than one byte"
i386_kernel_runs /bin/true || fail "this kernel did not run the probe's copy of /bin/true"

[ $failures -eq 0 ] && echo "all ${#cases[@]} cases, ${#twin_cases[@]} twin cases and the probe's copy as expected"
exit $((failures > 0))
