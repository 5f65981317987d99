"""Argument binding of every method: accepted calls and the exact binding errors."""
import pytest

from conftest import at, entries
from doubles import Broken, Failing
from ini_main import TovrelIniMain
from test_module import METHODS, parameters

pytestmark = pytest.mark.compiled  # the binding is the extension's own


@pytest.fixture
def store(make_store):
    return make_store("[a]\nb = 1\n")


def count_error(name, given):
    params = parameters(name)
    most = len(params)
    least = most - (params[-1] == "save")
    word, expected = (("exactly", most) if least == most else
                      ("at least", least) if given < least else ("at most", most))
    plural = "" if expected == 1 else "s"
    return f"{name}() takes {word} {expected} positional argument{plural} ({given} given)"


def binding_error(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert entries(info.value) == at(name + ":0")
    return str(info.value)


@pytest.mark.parametrize("name", METHODS)
def test_count_errors(store, name):
    params = parameters(name)
    least = len(params) - (params[-1] == "save")
    method = getattr(store, name)
    assert binding_error(lambda: method(*["x"] * len(params)), name) == count_error(name, len(params) + 1)
    assert binding_error(lambda: getattr(TovrelIniMain, name)(), name) == count_error(name, 0)
    if least >= 2:
        assert binding_error(lambda: method(*["x"] * (least - 2)), name) == count_error(name, least - 1)


# Calls through a store: the given numbers count the store.
CASES = [
    ("_get", ("a",), {}, "_get() takes exactly 3 positional arguments (2 given)"),
    ("_read", ("a",), {}, "_read() takes exactly 1 positional argument (2 given)"),
    ("_set", ("a",), {}, "_set() takes at least 4 positional arguments (2 given)"),
    ("_set", ("a", "b", "c", True, "x"), {}, "_set() takes at most 5 positional arguments (6 given)"),
    ("_set", (), {"section": "a", "value": 1}, "_set() takes at least 4 positional arguments (2 given)"),
    ("_set", (), {"option": "b", "value": 1}, "_set() takes at least 4 positional arguments (1 given)"),
    ("_has_option", (), {"option": "b"}, "_has_option() takes exactly 3 positional arguments (1 given)"),
    ("_set_section", (), {"save": False}, "_set_section() takes at least 2 positional arguments (1 given)"),
    ("_remove_option", ("a",), {"save": False}, "_remove_option() takes at least 3 positional arguments (2 given)"),
    ("_get", ("a", "b", "c"), {"option": "b"}, "_get() takes exactly 3 positional arguments (4 given)"),
    ("_set", ("a", "b", "c", True, "x"), {"save": True}, "_set() takes at most 5 positional arguments (6 given)"),
    ("_get", ("a",), {"section": "a"}, "_get() got multiple values for keyword argument 'section'"),
    ("_get", (), {"self": 1, "section": "a", "option": "b"}, "_get() got multiple values for keyword argument 'self'"),
    ("_set", ("a", "b", "c", False), {"save": True}, "_set() got multiple values for keyword argument 'save'"),
    ("_get", ("a", "b"), {"extra": 1}, "_get() got an unexpected keyword argument 'extra'"),
    ("_set_option", ("a",), {"section_dict": {}}, "_set_option() got an unexpected keyword argument 'section_dict'"),
    ("_get", ("a",), {"bogus": 1, "section": "a"}, "_get() got an unexpected keyword argument 'bogus'"),
    ("_get", ("a",), {"section": "a", "bogus": 1}, "_get() got multiple values for keyword argument 'section'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", CASES)
def test_binding_error_table(store, name, args, kwargs, message):
    assert binding_error(lambda: getattr(store, name)(*args, **kwargs), name) == message


def test_errors_through_method_call_syntax_class_and_constructor(store, ini_path):
    assert binding_error(lambda: store._get("a"), "_get") == count_error("_get", 2)
    assert binding_error(lambda: TovrelIniMain._get(section="a", option="b"), "_get") == count_error("_get", 0)
    assert binding_error(lambda: TovrelIniMain(), "__init__") == count_error("__init__", 1)
    assert binding_error(lambda: TovrelIniMain(str(ini_path), extra=1), "__init__") == \
        "__init__() got an unexpected keyword argument 'extra'"
    assert binding_error(lambda: TovrelIniMain(self=1, path=str(ini_path)), "__init__") == \
        "__init__() got multiple values for keyword argument 'self'"


class Anything(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


def test_keyword_names_matched_by_text_and_equality(store):
    assert store._get(section="a", option="b") == "1"
    assert TovrelIniMain._get(self=store, option="b", section="a") == "1"
    assert TovrelIniMain._get(store, **{"".join(["opt", "ion"]): "b", "".join(["sec", "tion"]): "a"}) == "1"
    assert store._get(**{type("Name", (str,), {})("section"): "a", "option": "b"}) == "1"
    assert store._get("a", **{Anything("whatever"): "b"}) == "1"
    assert type(TovrelIniMain._has_section).__call__(TovrelIniMain._has_section, store, section="a") is True


# A keyword name (a str subclass, so that ** passes it to the binder as it is) whose
# comparison raises: that exception comes out, not a binding TypeError made over it,
# whether it was compared with a parameter still unbound or with one bound by position.
RAISING_KEYWORDS = [
    pytest.param(lambda s: s._get("a", **{Failing("option", ZeroDivisionError): "b"}), ZeroDivisionError, "_get",
                 id="with-unbound-parameter"),
    pytest.param(lambda s: TovrelIniMain._get(s, **{Failing("extra", against={"self"}): 1}), Broken, "_get",
                 id="with-bound-parameter"),
    pytest.param(lambda s: s._set("a", "b", **{Failing("extra", against={"section"}): 1}), Broken, "_set",
                 id="with-bound-parameter-after-unbound"),
]


@pytest.mark.parametrize("call, error, name", RAISING_KEYWORDS)
def test_raising_keyword_comparison_comes_out(store, call, error, name):
    with pytest.raises(BaseException) as info:
        call(store)
    assert type(info.value) is error and str(info.value) == "compare"
    assert entries(info.value) == at(name + ":0")


def test_self_and_save_by_keyword(store, ini_path):
    before = ini_path.read_bytes()
    assert TovrelIniMain._set(self=store, section="a", option="c", value=2, save=False) is True
    assert store._set_section(section="new", save=False) is True
    assert store._get("a", "c") == "2" and store._has_section("new")
    assert ini_path.read_bytes() == before


def test_any_object_binds_as_self():
    with pytest.raises(AttributeError) as info:
        TovrelIniMain._get(42, "a", "b")
    assert entries(info.value) == at("_get:1")


def test_non_string_keywords_rejected_before_binding(store):
    method = TovrelIniMain._get
    for call in (lambda: method(store, "a", **{1: "b"}),
                 lambda: type(method).__call__(method, store, "a", **{1: "b"})):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "keywords must be strings" and entries(info.value) == []
