"""The module object, its import, the class and the methods' code objects."""
import ast
import builtins
import configparser
import importlib
import inspect
import json
import shutil
import subprocess
import sys
import types

import pytest

import ini_main
from ini_main import TovrelIniMain
from conftest import LINES, served_class, served_text
from doubles import REFUSE_CONFIGPARSER

# The methods in creation order, and the code object of each as Python compiles the
# served text: the compiled rows read their parameters and locals from that text, and
# the compiled code objects must hold what Python makes of it.  Other test files import these.
METHODS = [name for name in LINES if name.startswith("_")]  # not the import step
TEXT_CODES = {name: getattr(served_class(), name).__code__ for name in METHODS}
# What the class holds: its method objects in creation order, and those of them that save.
METHOD_OBJECTS = [name for name, value in vars(TovrelIniMain).items() if type(value) is type(TovrelIniMain._get)]
SAVING_OBJECTS = [name for name in METHOD_OBJECTS if vars(TovrelIniMain)[name].__defaults__ == (True,)]


def parameters(name):
    code = TEXT_CODES[name]
    return list(code.co_varnames[:code.co_argcount])


SAVE_METHODS = [name for name in METHODS if "save" in parameters(name)]


def signature_text(name, bound=False):
    params = parameters(name)[1 if bound else 0:]
    return "(" + ", ".join(p + "=True" if p == "save" else p for p in params) + ")"


def test_namespace():
    ns = vars(ini_main)
    assert ns["__builtins__"] is builtins
    assert ns["configparser"] is configparser
    assert ns["TovrelIniMain"] is TovrelIniMain
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    import_attrs = {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                    "__file__", "__path__", "__cached__"}
    assert set(ns) - import_attrs == {"__builtins__", "configparser", "TovrelIniMain", "__test__"}
    assert [k for k, v in ns.items() if callable(v) and v is not TovrelIniMain] == []
    assert ini_main.__name__ == "ini_main"


def test_class():
    assert type(TovrelIniMain) is type and TovrelIniMain.__bases__ == (object,)
    assert TovrelIniMain.__name__ == TovrelIniMain.__qualname__ == "TovrelIniMain"
    assert TovrelIniMain.__module__ == "ini_main" and TovrelIniMain.__doc__ is None
    # What a plain type() call makes from the same namespace, key for key.
    plain = type("TovrelIniMain", (), {"__module__": "ini_main", "__qualname__": "TovrelIniMain",
                                       **dict.fromkeys(METHODS)})
    assert list(vars(TovrelIniMain)) == list(vars(plain))
    assert list(vars(TovrelIniMain))[:len(METHOD_OBJECTS) + 1] == ["__module__", *METHODS]
    assert METHOD_OBJECTS == list(METHODS)


def test_defaults():
    shared = TovrelIniMain._set.__defaults__
    assert shared == (True,) and shared[0] is True
    assert SAVE_METHODS and SAVING_OBJECTS == SAVE_METHODS
    for name in METHODS:
        expected = shared if name in SAVE_METHODS else None
        assert getattr(TovrelIniMain, name).__defaults__ is expected, name


@pytest.mark.parametrize("name", METHODS)
def test_code_object(name):
    code, text = getattr(TovrelIniMain, name).__code__, TEXT_CODES[name]
    assert type(code) is types.CodeType
    assert (code.co_argcount, code.co_varnames, code.co_nlocals) == (text.co_argcount, text.co_varnames, text.co_nlocals)
    assert (code.co_filename, code.co_name, code.co_qualname, code.co_firstlineno) == \
        ("ini_main.py", name, name, LINES[name][0])
    assert code.co_flags == text.co_flags == 3
    assert (code.co_posonlyargcount, code.co_kwonlyargcount, code.co_freevars, code.co_cellvars) == (0, 0, (), ())


@pytest.mark.parametrize("name", METHODS)
def test_the_lines_table_holds_what_the_text_and_the_code_objects_say(name):
    # the text: the def, then every statement of the body but a return
    [store] = [node for node in ast.parse(served_text()).body if getattr(node, "name", None) == "TovrelIniMain"]
    [method] = [node for node in store.body if getattr(node, "name", None) == name]
    statements = {node.lineno for node in ast.walk(method) if isinstance(node, ast.stmt) and node is not method
                  and not isinstance(node, ast.Return)}
    assert (method.lineno, *sorted(statements)) == LINES[name]
    # the compiled code object: its first line, then lines in order, holding every line an entry names
    lines = [line for _, _, line in getattr(TovrelIniMain, name).__code__.co_lines()]
    assert lines[0] == LINES[name][0] and lines == sorted(lines) and set(LINES[name]) <= set(lines)


@pytest.mark.compiled
@pytest.mark.parametrize("name", METHODS)
def test_signature(name, make_store):
    assert str(inspect.signature(getattr(TovrelIniMain, name))) == signature_text(name)
    assert str(inspect.signature(getattr(make_store(), name))) == signature_text(name, bound=True)
    if name in SAVE_METHODS:
        assert inspect.signature(getattr(TovrelIniMain, name)).parameters["save"].default is True
    if name == "__init__":
        assert str(inspect.signature(TovrelIniMain)) == "(path)"


def test_reimport_and_reload_keep_objects():
    test_dict, module_dict = ini_main.__test__, vars(ini_main)
    del sys.modules["ini_main"]
    try:
        again = importlib.import_module("ini_main")
    finally:
        sys.modules["ini_main"] = ini_main
    assert again is ini_main and again.TovrelIniMain is TovrelIniMain
    assert importlib.reload(ini_main) is ini_main
    assert ini_main.TovrelIniMain is TovrelIniMain and ini_main.__test__ is test_dict
    assert vars(ini_main) is module_dict and TovrelIniMain._get.__globals__ is module_dict


def run_child(code, cwd, *flags):
    proc = subprocess.run([sys.executable, *flags, "-c", code],
                          capture_output=True, text=True, timeout=60, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


FAILED_IMPORTS = [  # how the import is made to fail, how it is undone, the error, the import step's statement
    ("saved = builtins.open\ndel builtins.open", "builtins.open = saved",
     "NameError", "name 'open' is not defined", 1),
    (REFUSE_CONFIGPARSER + "refuse_configparser()", "del sys.meta_path[0]", "ModuleNotFoundError", "configparser refused", 2),
    # A None entry blocks the import, as it does for an import statement.
    ('sys.modules["configparser"] = None', 'del sys.modules["configparser"]',
     "ModuleNotFoundError", "import of configparser halted; None in sys.modules", 2),
]


# the start of each statement of the import step that can fail, printed under its entry
IMPORT_STATEMENTS = {1: 'import sys; sys.modules.setdefault("ini_main", sys.modules[__name__]); _open = open',
                     2: "import configparser"}


@pytest.mark.parametrize("setup, undo, error, message, statement", FAILED_IMPORTS)
def test_failed_import_then_import_again(tmp_path, setup, undo, error, message, statement):
    out = run_child(f"""
import builtins, json, sys, traceback
{setup}
try:
    import ini_main
except BaseException as exc:
    failure = exc
{undo}
import ini_main
print(json.dumps([type(failure).__name__, str(failure), "".join(traceback.format_exception(failure)),
    [[f.name, f.lineno] for f in traceback.extract_tb(failure.__traceback__) if f.filename == "ini_main.py"],
    ini_main.configparser is sys.modules["configparser"] and ini_main.TovrelIniMain.__name__]))
""", tmp_path)
    kind, text, printed, found, class_name = json.loads(out)
    line = LINES["init ini_main"][statement]
    assert (kind, text, found) == (error, message, [["init ini_main", line]])
    assert f'File "ini_main.py", line {line}, in init ini_main\n    {IMPORT_STATEMENTS[statement]}' in printed
    assert class_name == "TovrelIniMain"


# A linecache.cache that a program replaced with something not a dict is left alone.
@pytest.mark.parametrize("before", ["", "import linecache; linecache.cache = ['not a dict']; "],
                         ids=["plain", "linecache-cache-not-a-dict"])
def test_import_issues_no_warning(tmp_path, before):
    assert run_child(before + "import ini_main; print(ini_main.TovrelIniMain.__name__)", tmp_path, "-W", "error") \
        == "TovrelIniMain\n"


@pytest.mark.parametrize("occupied", [False, True])
def test_package_qualified_import_registers_plain_name(tmp_path, occupied):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    shutil.copy(ini_main.__file__, tmp_path / "pkg")
    out = run_child(f"""
import json, sys
sys.path.insert(0, ".")
placeholder = object()
if {occupied}:
    sys.modules["ini_main"] = placeholder
import pkg.ini_main as mod
entry = sys.modules.get("ini_main")
print(json.dumps([mod.__name__, mod.__package__, entry is mod, entry is placeholder]))
""", tmp_path)
    assert json.loads(out) == ["pkg.ini_main", "pkg", not occupied, occupied]


def test_second_interpreter_is_refused(tmp_path):
    out = run_child('''
import ini_main, _interpreters
interp = _interpreters.create("legacy")
_interpreters.run_string(interp, """
try:
    import ini_main
except ImportError as exc:
    print(exc)
""")
''', tmp_path)
    assert out == "Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
