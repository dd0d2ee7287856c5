"""Print the requirements that pyproject.toml declares, one a line, for ``pip install -r``.

    python tools/requirements.py [EXTRA...]

The build system's requirements, then the project's dependencies and those of each EXTRA. With
them installed, pip can build the package without an isolated environment of its own, so that
CMake's build directory is reused from one install to the next.
"""

import sys
from pathlib import Path

try:
    import tomllib
except ModuleNotFoundError:  # Python before 3.11: the parser that pip carries
    from pip._vendor import tomli as tomllib


def requirements(pyproject, extras):
    """The requirement strings of `pyproject` (a parsed pyproject.toml) with `extras`.

    >>> requirements({"build-system": {"requires": ["a"]},
    ...               "project": {"dependencies": ["b"], "optional-dependencies": {"x": ["c"]}}},
    ...              ["x"])
    ['a', 'b', 'c']
    """
    project = pyproject["project"]
    found = list(pyproject["build-system"]["requires"]) + list(project.get("dependencies", []))
    for extra in extras:
        found += project["optional-dependencies"][extra]
    return found


def main(argv):
    path = Path(__file__).resolve().parent.parent / "pyproject.toml"
    with open(path, "rb") as file:
        print(*requirements(tomllib.load(file), argv), sep="\n")


if __name__ == "__main__":
    main(sys.argv[1:])
