"""The source lines that kestrova.hough's traceback entries report, by name.

Read from the module's own table, src/methods/lines.hpp, so that a test names a line
(``lines.dl_cos``) instead of repeating its number.
"""

import re
from pathlib import Path

HEADER = Path(__file__).resolve().parent.parent / "src" / "methods" / "lines.hpp"

TABLE = {
    name: int(number)
    for name, number in re.findall(r"inline constexpr int (\w+) = (\d+);", HEADER.read_text())
}


def __getattr__(name):
    try:
        return TABLE[name]
    except KeyError:
        raise AttributeError(f"no line named {name!r} in {HEADER.name}") from None
