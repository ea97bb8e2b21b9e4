"""The SDK's version, as the file VERSION says it: the one place the SDK's
build, archives and packages all take their version from.

The wheel carries that file inside the package; the source tree and the SDK
archives have it at the root of the tree that holds bindings/ (share/kelvo
in the Linux archives, the top of the Windows one), three levels above this
file. A package folder copied anywhere else says "0+unknown".
"""

import os


def _read() -> str:
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(here, "VERSION"),
                 os.path.join(here, os.pardir, os.pardir, os.pardir, "VERSION")):
        try:
            with open(path, encoding="ascii") as f:
                return f.read().strip()
        except OSError:
            continue
    return "0+unknown"


__version__ = _read()
