"""What a check needs from outside the project. A missing tool or module ends
the check at once with one line naming the Debian package that brings it,
and exit code 1: the check fails rather than skips, so a machine without the
tool shows the gap instead of a green run that never compared anything.

    require.commands({"evtexport": "libevt-utils"})
    Evtx = require.module("Evtx.Evtx", "python3-evtx")

scripts/install-deps installs every package named here; require.sh is the
same for the shell checks.
"""
import importlib
import os
import shutil
import sys

# Where Debian's python3-* packages live. The tests run under Debian's own
# /usr/bin/python3; a python3 of another installation (pyenv, a venv) run by
# hand borrows the module from there, which is safe for the pure-Python ones
# asked for here.
DEBIAN_MODULES = "/usr/lib/python3/dist-packages"


def missing(what):
    """Ends the check: `what` is a list of (name, package)."""
    names = ", ".join(name for name, _ in what)
    packages = " ".join(dict.fromkeys(package for _, package in what))
    sys.exit("needs %s: install %s" % (names, packages))


def commands(needed):
    """Checks that every command of `needed` ({command or absolute path: Debian package}) can be run."""
    absent = [(name, package) for name, package in needed.items() if shutil.which(name) is None]
    if absent:
        missing(absent)


def module(name, package):
    """Imports the module `name` and returns it, or ends the check naming `package`."""
    try:
        return importlib.import_module(name)
    except ImportError:
        pass
    if DEBIAN_MODULES not in sys.path and os.path.isdir(DEBIAN_MODULES):
        sys.path.append(DEBIAN_MODULES)
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    missing([("the Python module %s (%s)" % (name.split(".")[0], sys.executable), package)])
