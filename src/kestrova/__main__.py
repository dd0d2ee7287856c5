"""Command line: ``python -m kestrova find IMAGE ...`` and ``python -m kestrova demo``."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
