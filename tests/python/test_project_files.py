"""The development tool lists agree: what the test extra names, the set-up installs, at a pinned version."""

import re
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def names(lines):
    """Normalized project names of requirement lines (comments and blank lines skipped)."""
    found = set()
    for line in lines:
        line = line.split("#", 1)[0].strip()
        if line:
            found.add(re.split(r"[<>=!~\[ ;]", line, maxsplit=1)[0].lower().replace("_", "-"))
    return found


@pytest.mark.skipif(not (ROOT / "pyproject.toml").exists(), reason="needs the source tree")
def test_test_extra_set_up_and_pins_agree():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    test_extra = names(project["optional-dependencies"]["test"])
    runtime = names(project["dependencies"])
    dev = names((ROOT / "requirements-dev.txt").read_text().splitlines())
    pinned = names((ROOT / "constraints.txt").read_text().splitlines())
    dask = names((ROOT / "requirements-dask.txt").read_text().splitlines())
    assert names(project["optional-dependencies"]["dask"]) <= dask <= pinned
    assert test_extra <= dev, test_extra - dev
    assert runtime <= dev, runtime - dev
    assert dev <= pinned, dev - pinned
    assert all("==" in line for line in (ROOT / "constraints.txt").read_text().splitlines()
               if line.strip() and not line.startswith("#"))


def declared_layers():
    """Each src/core layer and the layers below it, as CMakeLists.txt links them (transitively)."""
    direct = {m[0]: m[1].split() for m in re.findall(r"^noteloom_layer\((\w+)\s*([\w ]*)\)", (
        ROOT / "CMakeLists.txt").read_text(), re.M)}
    def below(name):
        return set(direct[name]).union(*(below(d) for d in direct[name])) if direct[name] else set()
    return {name: below(name) for name in direct}


@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="needs the source tree")
def test_a_core_layer_includes_only_itself_and_the_layers_below():
    layers = declared_layers()
    core = ROOT / "src" / "core"
    assert sorted(p.name for p in core.iterdir()) == sorted(layers)  # no file outside a layer
    wrong = []
    for layer in layers:
        for source in sorted((core / layer).iterdir()):
            for target in re.findall(r'#include [<"]([^>"]+)[>"]', source.read_text()):
                if target == "Python.h":
                    wrong.append(f"{layer}/{source.name} includes Python.h")
                elif target.startswith("../"):
                    used = target.split("/")[1]
                    if used not in layers[layer]:
                        wrong.append(f"{layer}/{source.name} includes {target}")
    assert not wrong, wrong
