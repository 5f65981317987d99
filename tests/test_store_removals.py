"""Removing sections and options: the parser's answer, the file after saving or not,
and how a failure leaves store and file."""
import configparser
from pathlib import Path

import pytest

from conftest import BOM, Counting, at, entries
from doubles import BadFlag

START = "[a]\nx=1\ny=2\n[b]\nz=3\n"  # not the parser's own layout, so every rewrite shows
FULL = "[a]\nx = 1\ny = 2\n\n[b]\nz = 3\n\n"
OMIT = object()


def memory(store):
    return {s: dict(store._config.items(s)) for s in store._config.sections()}


def parsed(text):
    parser = configparser.ConfigParser()
    parser.read_string(text)
    return {s: dict(parser.items(s)) for s in parser.sections()}


@pytest.mark.parametrize("save", [OMIT, True, "x", 1, False, 0, "", None])
@pytest.mark.parametrize("method,args,kwargs,result,after", [
    pytest.param("_remove_section", ("a",), {}, True, "[b]\nz = 3\n\n", id="section"),
    pytest.param("_remove_section", ("c",), {}, False, FULL, id="section-missing"),
    pytest.param("_remove_option", ("a", "x"), {}, True, "[a]\ny = 2\n\n[b]\nz = 3\n\n", id="option"),
    pytest.param("_remove_option", ("b",), {"options": "z"}, True, "[a]\nx = 1\ny = 2\n\n[b]\n\n",
                 id="option-by-keyword"),
    pytest.param("_remove_option", ("a", "q"), {}, False, FULL, id="option-missing"),
])
def test_removal(make_store, method, args, kwargs, result, after, save):
    store = make_store(START, mixin=Counting)
    fn = getattr(store, method)
    if save is OMIT:
        got = fn(*args, **kwargs)
    elif kwargs or isinstance(save, str):
        got = fn(*args, **kwargs, save=save)
    else:
        got = fn(*args, save)
    assert got is result
    saving = save is OMIT or bool(save)
    assert store.writes == ([BOM + after.encode()] if saving else [])
    assert Path(store._path).read_bytes() == (BOM + after.encode() if saving else START.encode())
    assert memory(store) == parsed(after)


def test_remove_option_from_missing_section(make_store):
    store = make_store(START, mixin=Counting)
    with pytest.raises(configparser.NoSectionError) as info:
        store._remove_option("c", "x")
    assert entries(info.value) == at("_remove_option:1")
    assert store.writes == [] and Path(store._path).read_text() == START and memory(store) == parsed(START)


class FakeParser:
    def __init__(self):
        self.calls, self.result = [], object()

    def remove_section(self, *args):
        self.calls.append(args)
        return self.result

    remove_option = remove_section


@pytest.mark.parametrize("method,args", [("_remove_section", (["a"],)), ("_remove_option", ("a", ["x", "y"]))])
def test_parser_gets_the_arguments_and_its_result_comes_back(make_store, method, args):
    store = make_store(START)
    store._config = fake = FakeParser()
    assert getattr(store, method)(*args, save=False) is fake.result
    (got,) = fake.calls
    assert got == args and all(g is a for g, a in zip(got, args))


LEFT = {"_remove_section": {"b": {"z": "3"}}, "_remove_option": {"a": {"y": "2"}, "b": {"z": "3"}}}


@pytest.mark.parametrize("method,args", [("_remove_section", ("a",)), ("_remove_option", ("a", "x"))])
@pytest.mark.parametrize("failure", ["raising-flag", "unwritable"])
def test_failed_save_keeps_the_removal_in_memory(make_store, tmp_path, method, args, failure):
    store = make_store(START, mixin=Counting)
    if failure == "unwritable":
        store._path = str(tmp_path)  # a directory now
    with pytest.raises(LookupError if failure == "raising-flag" else IsADirectoryError) as info:
        getattr(store, method)(*args, *([BadFlag(LookupError)] if failure == "raising-flag" else []))
    assert entries(info.value) == at(f"{method}:2" if failure == "raising-flag" else f"{method}:3 _save:1")
    assert memory(store) == LEFT[method] and store.writes == []
    assert (tmp_path / "settings.ini").read_text() == START


def test_store_on_a_directory_fails_to_save_a_removal(tmp_path, store_class):
    with pytest.raises(IsADirectoryError) as info:
        store_class(str(tmp_path))._remove_section("a")
    assert entries(info.value) == at("_remove_section:3 _save:1")
