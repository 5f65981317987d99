"""What help(), pydoc, inspect and doctest make of the module, and whether the
examples in the documentation run."""
import doctest
import html
import inspect
import os
import pathlib
import pydoc
import re
import subprocess
import sys

import pytest

import ini_main
from ini_main import TovrelIniMain
from test_module import METHODS, SAVE_METHODS, parameters, signature_text

pytestmark = pytest.mark.compiled  # what help and pydoc make of the extension's objects

ROOT = pathlib.Path(__file__).resolve().parent.parent


def docstring(name):
    return f"TovrelIniMain.{name}{signature_text(name)}"


def python_twin():
    """The class as it would be written in Python: same names, signatures, docstrings."""
    source = "class TovrelIniMain:\n" + "".join(
        f"    def {name}{signature_text(name)}:\n        {docstring(name)!r}\n" for name in METHODS)
    namespace = {"__name__": "ini_main"}
    exec(source, namespace)
    return namespace["TovrelIniMain"]


def test_help_on_the_class_is_that_of_the_class_in_python(capsys):
    # pydoc lists no method whose name begins with one underscore, so both
    # show __init__ alone: the rest is reached by name (next test).
    text = pydoc.render_doc(TovrelIniMain, renderer=pydoc.plaintext)
    assert text == pydoc.render_doc(python_twin(), renderer=pydoc.plaintext)
    help(TovrelIniMain)
    assert "__init__(self, path)\n |      TovrelIniMain.__init__(self, path)\n" in capsys.readouterr().out


@pytest.mark.parametrize("name", METHODS)
def test_help_on_each_method(name, make_store):
    method, bound = getattr(TovrelIniMain, name), getattr(make_store(), name)
    text = pydoc.render_doc(method, renderer=pydoc.plaintext)
    assert f"\n{name}{signature_text(name)}\n    {docstring(name)}\n" in text
    text = pydoc.render_doc(bound, renderer=pydoc.plaintext)
    assert (f"\n{name}{signature_text(name, bound=True)} method of ini_main.TovrelIniMain instance\n"
            f"    {docstring(name)}\n") in text
    page = pydoc.render_doc(method, renderer=pydoc.html)
    assert f"<strong>{name}</strong></a>{html.escape(signature_text(name))}</dt>" in page
    spec = inspect.getfullargspec(method)
    assert (spec.args, spec.defaults) == (parameters(name), (True,) if name in SAVE_METHODS else None)


def test_pydoc_command_and_module_page(tmp_path):
    page = pydoc.render_doc(ini_main, renderer=pydoc.plaintext)
    summary = ini_main.__doc__.strip().splitlines()[0]
    for line in (f"ini_main - {summary}", "class TovrelIniMain(builtins.object)", "__test__ = {}"):
        assert line in page
    result = subprocess.run([sys.executable, "-m", "pydoc", "ini_main.TovrelIniMain._remove_option"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert f"_remove_option{signature_text('_remove_option')}\n    {docstring('_remove_option')}" in result.stdout


def test_doctest_finds_every_docstring():
    found = {test.name for test in doctest.DocTestFinder(exclude_empty=False).find(ini_main)}
    assert found == {"ini_main", "ini_main.TovrelIniMain"} | {f"ini_main.TovrelIniMain.{n}" for n in METHODS}


def test_readme_examples(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    blocks = re.findall(r"```pycon\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, block in enumerate(blocks):
        runner.run(doctest.DocTestParser().get_doctest(block, {}, f"README block {number}", "README.md", 0))
    assert blocks and runner.summarize(verbose=False).failed == 0


def run_example(name, tmp_path):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / name), str(tmp_path)],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    return result.stdout


def test_typed_usage_example_runs(tmp_path):
    assert "'client': {'retries': '3'}" in run_example("typed_usage.py", tmp_path)


def test_failed_save_example_recovers_each_time(tmp_path):
    out = run_example("failed_save.py", tmp_path)
    for line in ("  save failed: FileNotFoundError: No such file or directory",
                 "  saved again: {'app': {'theme': 'dark', 'lines': '40'}}",
                 "  'editor' section added: True - 'font' set: False",
                 "  saved again: {'window': {'width': '1280', 'height': '800'}, 'editor': {'font': 'mono'}}"):
        assert line + "\n" in out
    assert ("saved again: {'cache': {'size': '20'}}" in out) == os.access("/dev/full", os.W_OK)
