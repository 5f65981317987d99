"""Traceback entries added by the methods as an exception passes through them,
and the text of "ini_main.py" that they print."""
import ast
import inspect
import linecache
import os
import subprocess
import sys
import traceback
import types

import pytest

import ini_main
from conftest import blocks_grow, entries, printed_entries, served_text


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
    (lambda s: s._set_section("a"), [("_set_section", 80)]),
    (lambda s: s._set("a", "b", "c"), [("_set", 71), ("_set_section", 80)]),
    (lambda s: s._set_option("a", {"b": "c"}), [("_set_option", 87), ("_set_section", 80)]),
    (lambda s: s._set_all({"a": {"b": "c"}}), [("_set_all", 97), ("_set_option", 87), ("_set_section", 80)]),
    (lambda s: s._get_all(), [("_get_all", 67), ("_get_option", 60)]),
]


@pytest.mark.parametrize("call, expected", NESTED)
def test_nested_entries_sit_between_caller_and_raiser(make_store, call, expected):
    store = make_store()
    store._config = FailingParser()
    with pytest.raises(RuntimeError) as info:
        call(store)
    expected = [("ini_main.TovrelIniMain." + name, line) for name, line in expected]
    assert entries(info.value) == expected
    frames = traceback.extract_tb(info.value.__traceback__)
    assert frames[-1].filename == __file__ and frames[-1].name in ("add_section", "items")
    assert [(f.name, f.lineno) for f in frames[-1 - len(expected):-1]] == expected
    assert frames[-2 - len(expected)].name == "<lambda>"

    def failing_call():
        try:
            call(store)
        except RuntimeError:
            pass
    assert not blocks_grow(failing_call)


def test_printed_traceback_names_file_line_and_method(make_store):
    store = make_store("[a]\nb = 1\n")
    with pytest.raises(Exception) as info:
        store._get("missing", "b")
    assert entries(info.value) == [("ini_main.TovrelIniMain._get", 55)]
    text = "".join(traceback.format_exception(info.value))
    assert 'File "ini_main.py", line 55, in ini_main.TovrelIniMain._get' in text
    with pytest.raises(TypeError) as info:
        store._get("a")
    text = "".join(traceback.format_exception(info.value))
    assert 'File "ini_main.py", line 54, in ini_main.TovrelIniMain._get' in text


def test_repeated_parser_failures_do_not_leak(make_store):
    store = make_store("[a]\nb = 1\n")

    def failing_lookup():
        try:
            store._get("missing", "b")
        except Exception:
            pass
    assert not blocks_grow(failing_lookup)


def test_methods_calling_each_other_in_a_loop_raise_recursion_error(make_store):
    # _set_section asks _has_section, which here is _set_section again: a loop
    # that never passes through Python code.
    class Looping(ini_main.TovrelIniMain):
        _has_section = ini_main.TovrelIniMain._set_section

    store = make_store("[a]\n", cls=Looping)
    with pytest.raises(RecursionError) as exc:
        store._set_section("b")
    found = entries(exc.value)
    assert found[0] == ("ini_main.TovrelIniMain._set_section", 79)
    assert found[-1] == ("ini_main.TovrelIniMain._set_section", 78)
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
    (lambda s: s._get("a"), [("_get", 54, "def _get(self, section, option):")]),
    (lambda s: s._get("missing", "b"), [("_get", 55, "value = self._config.get(section, option)")]),
    (failing_parser(lambda s: s._set("a", "b", "c")),
     [("_set", 71, "section, option = _carried_names(section, option); self._set_section(section, save)"),
      ("_set_section", 80, "_check_section(section); self._config.add_section(section)")]),
    (failing_parser(lambda s: s._get_all()),
     [("_get_all", 67, "result.setdefault(section, self._get_option(section))"),
      ("_get_option", 60, "for option, value in _pairs(self._config.items(section)):")]),
    (save_into_a_directory,
     [("_remove_section", 114, "self._save()"),
      ("_save", 137, '_write_whole_file(self)  # self._config.write(open(self._path, "w+", encoding="utf-8-sig"))')]),
]


@pytest.mark.parametrize("call, expected", PRINTED)
def test_each_entry_prints_its_statement(make_store, text_class, call, expected):
    store = make_store("[a]\nb = 1\n")
    with pytest.raises(Exception) as info:
        call(store)
    printed = printed_entries(info.value)
    assert [(name, line) for name, line, _ in printed] == [
        ("ini_main.TovrelIniMain." + name, line) for name, line, _ in expected]
    for (_, _, statement), (_, _, start) in zip(printed, expected):
        assert statement.startswith(start)
    if expected[0][2].startswith("def "):
        return  # Python binds arguments before the function has a frame
    same = make_store("[a]\nb = 1\n", name="same.ini", cls=text_class)
    with pytest.raises(type(info.value)) as oracle:
        call(same)
    ran = [(f.name, f.lineno) for f in traceback.extract_tb(oracle.value.__traceback__)
           if f.filename == "ini_main.py" and f.name in vars(text_class)]
    assert ran == [(name, line) for name, line, _ in expected]


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
    assert ('  File "ini_main.py", line 55, in ini_main.TovrelIniMain._get\n'
            "    value = self._config.get(section, option)\n") in child.stderr


def test_served_text_wins_over_a_file_of_the_same_name(make_store, tmp_path, monkeypatch):
    decoy = tmp_path / "decoy"
    decoy.mkdir()
    (decoy / "ini_main.py").write_text("".join(f"print('decoy line {n}')\n" for n in range(1, 200)))
    monkeypatch.chdir(decoy)
    monkeypatch.syspath_prepend(str(decoy))
    store = make_store("[a]\nb = 1\n")
    linecache.clearcache()
    assert linecache.getline("ini_main.py", 55) == "print('decoy line 55')\n"  # the decoy, cached
    with pytest.raises(Exception) as info:
        store._get("missing", "b")
    printed = "".join(traceback.format_exception(info.value))
    assert "decoy" not in printed
    assert printed_entries(info.value)[-1][2] == "value = self._config.get(section, option)"
    assert inspect.getsource(ini_main.TovrelIniMain._get.__code__) == (
        "    def _get(self, section, option):\n"
        "        value = self._config.get(section, option)\n"
        "        return value\n")


def test_served_text_lays_out_every_method_at_its_lines():
    tree = ast.parse(served_text())
    assert {node.lineno for node in tree.body} >= {1, 10, 19}  # the import step's entries
    cls = tree.body[[node.lineno for node in tree.body].index(19)]
    assert cls.name == "TovrelIniMain"
    defs = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    methods = {name: value for name, value in vars(ini_main.TovrelIniMain).items()
               if type(value) is type(ini_main.TovrelIniMain._get)}
    assert list(defs) == list(methods)
    for name, node in defs.items():
        code = methods[name].__code__
        assert node.lineno == code.co_firstlineno
        assert [arg.arg for arg in node.args.args] == list(code.co_varnames[:code.co_argcount])
        assert tuple(ast.literal_eval(d) for d in node.args.defaults) == (methods[name].__defaults__ or ())
        # every line the method's entries can name starts a statement of its body
        statements = {stmt.lineno for stmt in ast.walk(node) if isinstance(stmt, ast.stmt) and stmt is not node}
        assert {line for _, _, line in code.co_lines()} - {node.lineno} <= statements, name
