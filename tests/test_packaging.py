"""The package's metadata against the lock that `make test` and CI install from."""

from __future__ import annotations

import re
import tomllib
from pathlib import Path

from packaging.requirements import Requirement
from packaging.utils import canonicalize_name
from packaging.version import Version

import quorvel

ROOT = Path(__file__).resolve().parents[1]


def _lock() -> dict[str, Version]:
    pins: dict[str, Version] = {}
    for line in (ROOT / "requirements-dev.txt").read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            name, _, version = line.partition("==")
            pins[canonicalize_name(name)] = Version(version)
    return pins


def test_every_requirement_is_a_bound_that_the_lock_satisfies() -> None:
    """The pyproject file states ranges, the lock pins each within its range.

    Pyproject never pins; the lock names no extras (it is also the constraints
    file of the wheel's installation).
    """
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    requirements = [Requirement(r) for r in project["dependencies"]]
    requirements += [Requirement(r) for rs in project["optional-dependencies"].values() for r in rs]
    lock = _lock()
    faults = [
        str(r)
        for r in requirements
        if any(s.operator in ("==", "===") for s in r.specifier)
        or canonicalize_name(r.name) not in lock
        or not r.specifier.contains(lock[canonicalize_name(r.name)], prereleases=True)
    ]
    assert faults == [], "requirements pinned, missing from the lock or outside their range"
    lock_text = (ROOT / "requirements-dev.txt").read_text(encoding="utf-8")
    assert not re.search(r"^[^#\s][^#]*\[", lock_text, re.MULTILINE), "an extra in the lock"


def test_one_version_everywhere() -> None:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    cited = re.search(
        r"^version:\s*(\S+)", (ROOT / "CITATION.cff").read_text(encoding="utf-8"), re.M
    )
    assert cited is not None
    assert quorvel.__version__ == project["version"] == cited.group(1)
