"""Traceback entries added by the methods as an exception passes through them."""
import traceback

import pytest

import ini_main
from conftest import blocks_grow, entries


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
