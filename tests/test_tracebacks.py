"""Traceback entries added by the methods as an exception passes through them,
and the text of "ini_main.py" that they print."""
import inspect
import linecache
import os
import subprocess
import sys
import traceback

import pytest

import ini_main
from conftest import LINES, QUALIFIER, at, entries, printed_entries


class FailingParser:
    """A parser that holds one section name but fails to add a section or list its items."""

    def has_section(self, section):
        return False

    def sections(self):
        return ["a"]

    def add_section(self, section):
        raise RuntimeError("add_section failed")

    def items(self, section):
        raise RuntimeError("items failed")


# call, entries outermost first (the innermost entry is the method that failed)
NESTED = [
    (lambda s: s._set_section("a"), "_set_section:2"),
    (lambda s: s._set("a", "b", "c"), "_set:1 _set_section:2"),
    (lambda s: s._set_option("a", {"b": "c"}), "_set_option:1 _set_section:2"),
    (lambda s: s._set_all({"a": {"b": "c"}}), "_set_all:2 _set_option:1 _set_section:2"),
    (lambda s: s._get_all(), "_get_all:3 _get_option:2"),
]


@pytest.mark.compiled  # the text's helpers add frames of their own between the methods
@pytest.mark.parametrize("call, expected", NESTED)
def test_nested_entries_sit_between_caller_and_raiser(make_store, call, expected):
    store = make_store()
    store._config = FailingParser()
    with pytest.raises(RuntimeError) as info:
        call(store)
    expected = [(QUALIFIER + name, line) for name, line in at(expected)]
    frames = traceback.extract_tb(info.value.__traceback__)
    assert frames[-1].filename == __file__ and frames[-1].name in ("add_section", "items")
    assert [(f.name, f.lineno) for f in frames[-1 - len(expected):-1]] == expected
    assert frames[-2 - len(expected)].name == "<lambda>"


@pytest.mark.compiled  # the extension's entries name the methods qualified
def test_printed_traceback_names_file_line_and_method(make_store):
    store = make_store("[a]\nb = 1\n")
    for call, line in ((lambda: store._get("missing", "b"), LINES["_get"][1]), (lambda: store._get("a"), LINES["_get"][0])):
        with pytest.raises(Exception) as info:
            call()
        text = "".join(traceback.format_exception(info.value))
        assert f'File "ini_main.py", line {line}, in ini_main.TovrelIniMain._get' in text


@pytest.mark.compiled
def test_methods_calling_each_other_in_a_loop_raise_recursion_error(make_store):
    # _set_section asks _has_section, which here is _set_section again: a loop
    # that never passes through Python code.
    class Looping:
        _has_section = ini_main.TovrelIniMain._set_section

    store = make_store("[a]\n", mixin=Looping)
    with pytest.raises(RecursionError) as exc:
        store._set_section("b")
    found = entries(exc.value)
    assert found[0] == at("_set_section:1")[0] and found[-1] == at("_set_section:0")[0]
    assert store._get_all() == {"a": {}}  # nothing was added, and the store still works


def failing_parser(call):
    def run(store):
        store._config = FailingParser()
        call(store)
    return run


def save_into_a_directory(store):
    store._path = os.path.dirname(store._path)
    store._remove_section("a")


# a failing call; then, outermost first, each store entry's method, line and
# the start of the statement printed under it
PRINTED = [
    (lambda s: s._get("a"), [("_get:0", "def _get(self, section, option):")]),
    (lambda s: s._get("missing", "b"), [("_get:1", "value = self._config.get(section, option)")]),
    (failing_parser(lambda s: s._set("a", "b", "c")),
     [("_set:1", "section, option = _carried_names(section, option); self._set_section(section, save)"),
      ("_set_section:2", "_check_section(section); self._config.add_section(section)")]),
    (failing_parser(lambda s: s._get_all()),
     [("_get_all:3", "result.setdefault(section, self._get_option(section))"),
      ("_get_option:2", "for option, value in _pairs(self._config.items(section)):")]),
    (save_into_a_directory,
     [("_remove_section:3", "self._save()"),
      ("_save:1", '_write_whole_file(self)  # self._config.write(open(self._path, "w+", encoding="utf-8-sig"))')]),
]


@pytest.mark.parametrize("call, expected", PRINTED)
def test_each_entry_prints_its_statement(make_store, call, expected):
    store = make_store("[a]\nb = 1\n")
    with pytest.raises(Exception) as info:
        call(store)
    if expected[0][1].startswith("def ") and type(store) is not ini_main.TovrelIniMain:
        expected = []  # Python binds arguments before the function has a frame
    printed = [(name.removeprefix(QUALIFIER), line, statement) for name, line, statement in printed_entries(info.value)]
    printed = [entry for entry in printed if entry[0] in LINES]  # not the text's helpers
    assert [(name, line) for name, line, _ in printed] == at(" ".join(where for where, _ in expected))
    for (_, _, statement), (_, start) in zip(printed, expected, strict=True):
        assert statement.startswith(start)


# A script file that never imports linecache itself; after `before`, it dies
# of an uncaught store error, which the interpreter prints.
SCRIPT = """import sys
import ini_main
store = ini_main.TovrelIniMain(sys.argv[1])
store._set("a", "b", "1")
{before}
store._get("a", "missing")
"""

NOT_A_DICT = """import configparser, linecache
linecache.cache = cache = ["not a dict"]
try:
    store._get("a", "missing")
except configparser.NoOptionError as error:
    print(error.__traceback__.tb_next.tb_frame.f_code.co_filename, cache)
linecache.cache = {}"""

IMPORT_FAILS = """class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == "linecache":
            raise self.error
refuse = Refuse()
sys.meta_path.insert(0, refuse)
for refuse.error in (ImportError("refused"), KeyboardInterrupt()):
    try:
        store._get("a", "missing")
    except BaseException as error:
        print(type(error).__name__, type(error.__context__).__name__, end=" ")
sys.meta_path.remove(refuse)"""


# what the script does before its last statement, and what that prints
@pytest.mark.parametrize("before, expected", [
    pytest.param('print("linecache" in sys.modules, store._get("a", "b"))', "False 1\n", id="no-linecache-until-a-failure"),
    pytest.param(NOT_A_DICT, "ini_main.py ['not a dict']\n", id="cache-not-a-dict-then-a-dict"),
    pytest.param(IMPORT_FAILS, "NoOptionError KeyError KeyboardInterrupt NoOptionError ", id="linecache-import-fails"),
])
def test_a_script_that_dies_of_a_store_error_prints_the_statement(tmp_path, before, expected):
    script = tmp_path / "script.py"
    script.write_text(SCRIPT.format(before=before))
    child = subprocess.run([sys.executable, script, tmp_path / "settings.ini"], cwd=tmp_path,
                           capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout) == (1, expected), child.stderr
    assert (f'  File "ini_main.py", line {LINES["_get"][1]}, in ini_main.TovrelIniMain._get\n'
            "    value = self._config.get(section, option)\n") in child.stderr


@pytest.mark.compiled  # the extension serves its text
def test_served_text_wins_over_a_file_of_the_same_name(make_store, tmp_path, monkeypatch):
    decoy = tmp_path / "decoy"
    decoy.mkdir()
    (decoy / "ini_main.py").write_text("".join(f"print('decoy line {n}')\n" for n in range(1, 200)))
    monkeypatch.chdir(decoy)
    monkeypatch.syspath_prepend(str(decoy))
    store = make_store("[a]\nb = 1\n")
    linecache.clearcache()
    line = LINES["_get"][1]
    assert linecache.getline("ini_main.py", line) == f"print('decoy line {line}')\n"  # the decoy, cached
    with pytest.raises(Exception) as info:
        store._get("missing", "b")
    printed = "".join(traceback.format_exception(info.value))
    assert "decoy" not in printed
    assert printed_entries(info.value)[-1][2] == "value = self._config.get(section, option)"
    assert inspect.getsource(ini_main.TovrelIniMain._get.__code__) == (
        "    def _get(self, section, option):\n"
        "        value = self._config.get(section, option)\n"
        "        return value\n")
