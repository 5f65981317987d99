"""The types shipped with the module: found by mypy where they are installed,
true to the built module, and strict enough to reject misuse."""
import ast
import pathlib
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

from test_module import METHODS  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "ini_main-stubs" / "__init__.pyi"
EXAMPLE = ROOT / "examples" / "typed_usage.py"


def run_mypy(tmp_path, *args):
    # Run outside the checkout, whose ini_main/ folder of C++ sources must not
    # stand in for the module: the types come from site-packages only.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *args],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )


def test_installed_stubs_are_the_checked_in_ones():
    installed = pathlib.Path(sysconfig.get_paths()["purelib"]) / "ini_main-stubs" / "__init__.pyi"
    assert installed.read_text() == STUB.read_text()


# stubtest holds every stub to the module; the example is typical use, checked strictly.
def test_example_passes_strict(tmp_path):
    result = run_mypy(tmp_path, str(EXAMPLE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_match_the_module(tmp_path):
    # stubtest passes over a method with a leading underscore that the stubs lack
    [stubbed] = [node for node in ast.parse(STUB.read_text()).body if getattr(node, "name", "") == "TovrelIniMain"]
    assert [node.name for node in stubbed.body if isinstance(node, ast.FunctionDef)] == METHODS
    # Nothing to allow-list: the method objects introspect like functions.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ini_main"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = """\
    import pathlib
    from typing import Literal
    from ini_main import TovrelIniMain

    store = TovrelIniMain(pathlib.Path("a.ini"))
    TovrelIniMain(b"a.ini"); TovrelIniMain(path="a.ini")
    TovrelIniMain(3)  # error
    store._set("s", "o", [1, 2], save=None); store._set_section("s", "")
    store._set(1, "o", "v")  # error
    store._get("s")  # error
    number: int = store._get("s", "o")  # error
    text: str = store._get("s", "o")
    store._set_option("s", {"o": 1.5}, save=0)
    store._set_option("s", [("o", "v")])  # error
    store._set_all(store._get_all())
    store._set_all({"s": {1: "v"}})  # error
    written: Literal[True] = store._set_all({})
    removed: Literal[True] = store._remove_section("s")  # error
    found: bool = store._remove_option("s", "o") or store._has_option("s", "o")
    store._options("s").append(1)  # error
    store._sections().append("t")
    store._save(1)  # error
    store._read()
    store._nothing()  # error
    path: str = store._path  # error
"""


def test_misuse_is_rejected(tmp_path):
    source = tmp_path / "misuse.py"
    source.write_text(textwrap.dedent(MISUSE))
    expected = {n for n, line in enumerate(source.read_text().splitlines(), 1) if line.endswith("# error")}
    result = run_mypy(tmp_path, str(source))
    reported = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error", result.stdout, re.M)}
    assert reported == expected, result.stdout
