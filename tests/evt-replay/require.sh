# Sourced by the shell checks: what they need from outside the project, as
# require.py does it for the Python ones.

# require COMMAND=PACKAGE...: exits 1 with one line naming the missing
# commands and the Debian packages that bring them, so that the check fails
# at once instead of at "command not found" halfway, and never passes for
# want of the tool. scripts/install-deps installs every package named here.
require() {
    local pair names="" packages=" "
    for pair in "$@"; do
        command -v "${pair%%=*}" >/dev/null 2>&1 && continue
        names+="${names:+, }${pair%%=*}"
        [[ "$packages" == *" ${pair#*=} "* ]] || packages+="${pair#*=} "
    done
    [ -z "$names" ] && return 0
    packages=${packages# }
    echo "needs $names: install ${packages% }" >&2
    exit 1
}
