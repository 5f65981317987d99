"""Writing values, sections and bulk dictionaries: how often the file is written and
what it holds, what the parser receives, and how a failure leaves store and file."""
import configparser
import os
import re
import string
import tempfile
from enum import Enum
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import ini_main
from conftest import BOM, SANITIZED, Counting, at, entries
from doubles import BadFlag, Broken, Items, Unprintable

START = "[a]\nx = 1\n\n"
WITH_B = START + "[b]\n\n"
OMIT = object()
# 17 whitespace characters of as many kinds: what str.isspace() and the parser's \s both take
RUN = " \t\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2028\u2029\u202f\u205f\u3000"


class SkewedDict(dict):
    """Its `items` renames the first entry to "p", so a walk that skips `items` shows."""

    def items(self):
        return [("p", next(iter(self.values())))]


class OddPair(tuple):
    def __iter__(self):
        return iter(("wrong", "wrong"))


class Masked(str):
    """A str whose own methods all tell something other than its characters: a store
    that let one of them run would show, compare, write or look up another text."""
    def __repr__(self):
        return f"Masked({str.__repr__(self)})"

    def __str__(self):
        return "masked"

    def __format__(self, spec):
        return "masked]\n[injected"

    def lower(self):
        return "masked\n[injected]\nk"

    def __eq__(self, other):
        return self is other

    __hash__ = str.__hash__


class Sec(str, Enum):
    """Its members hash and format as the member, not as the text."""
    B = "b"


class Spelled:
    """A value whose text comes from str(), as a str subclass."""
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return Masked(self.text)


def broken_items():
    yield ("k", "1")
    raise Broken("items broke")


def pair_then_broken():
    """A pair that is neither tuple nor list, whose iterator fails where a third item would be."""
    yield "m"
    yield "2"
    raise Broken("pair broke")


def parsed(text):
    parser = configparser.ConfigParser()
    parser.read_string(text)
    return {s: dict(parser.items(s, raw=True)) for s in parser.sections()}


def memory(store):
    return {s: dict(store._config.items(s, raw=True)) for s in store._config.sections()}


# Each row: a call on a store whose file holds START, and the file text after each write
# when saving; without saving, the parser ends up holding the last of them.
WRITES = [
    pytest.param("_set_section", {"section": "a"}, [], id="section-present"),
    pytest.param("_set_section", {"section": "b"}, [WITH_B], id="section-missing"),
    pytest.param("_set", dict(section="a", option="x", value=7), ["[a]\nx = 7\n\n"], id="set-present"),
    pytest.param("_set", dict(section="b", option="y", value="2"), [WITH_B, WITH_B[:-1] + "y = 2\n\n"],
                 id="set-missing"),
    pytest.param("_set_option", dict(section="a", option_dict={"y": "2", "z": 3}),
                 ["[a]\nx = 1\ny = 2\nz = 3\n\n"], id="option-present"),
    pytest.param("_set_option", dict(section="b", option_dict={"y": "2", "z": 3}),
                 [WITH_B, WITH_B[:-1] + "y = 2\nz = 3\n\n"], id="option-missing"),
    pytest.param("_set_option", dict(section="a", option_dict={}), [START], id="option-empty-present"),
    pytest.param("_set_option", dict(section="b", option_dict={}), [WITH_B, WITH_B], id="option-empty-missing"),
    pytest.param("_set_all", {"section_dict": {}}, [START], id="all-empty"),
    pytest.param("_set_all", {"section_dict": {"a": {"x": "9"}}}, ["[a]\nx = 9\n\n"], id="all-present"),
    pytest.param("_set_all", {"section_dict": {"b": {"y": "2"}, "c": {}}},
                 [START + "[b]\ny = 2\n\n[c]\n\n"], id="all-new"),
    # str subclasses are written, looked up and compared as their characters
    pytest.param("_set_section", {"section": Masked("a")}, [], id="section-present-masked"),
    pytest.param("_set", dict(section=Sec.B, option="y", value=Spelled("2")), [WITH_B, WITH_B[:-1] + "y = 2\n\n"],
                 id="set-enum-section"),
    pytest.param("_set_option", dict(section=Masked("b"), option_dict={Masked("Y"): Spelled("2")}),
                 [WITH_B, WITH_B[:-1] + "y = 2\n\n"], id="option-masked-names"),
    pytest.param("_set_all", {"section_dict": {Masked("a"): {Masked("X"): Spelled("9")}}}, ["[a]\nx = 9\n\n"],
                 id="all-masked-names"),
    # whitespace runs inside an option name up to the longest the file takes
    pytest.param("_set", dict(section="a", option=f"p{RUN[:16]}q{RUN[1:]}r", value=1),
                 [f"[a]\nx = 1\np{RUN[:16]}q{RUN[1:]}r = 1\n\n"], id="set-whitespace-runs-at-the-bound"),
]
SAVES = [("positional", OMIT), ("all keywords", OMIT), ("positional", True), ("keyword", 1),
         ("all keywords", "x"), ("positional", False), ("keyword", 0), ("all keywords", ""),
         ("positional", None), ("all keywords", False)]


@pytest.mark.parametrize("style,save", SAVES, ids=[f"{s}-{v!r}" for s, v in SAVES])
@pytest.mark.parametrize("method,kwargs,writes", WRITES)
def test_writes_by_section_state_and_save(make_store, method, kwargs, writes, style, save):
    store = make_store(START, mixin=Counting)
    before, fn = Path(store._path).read_bytes(), getattr(store, method)
    if save is not OMIT:
        kwargs = {**kwargs, "save": save}
    values = list(kwargs.values())
    if style == "all keywords":
        result = fn(**kwargs)
    elif style == "keyword":
        result = fn(*values[:-1], save=save)
    else:
        result = fn(*values)
    assert result is True
    expected = [BOM + text.encode() for text in writes] if save is OMIT or save else []
    assert store.writes == expected
    assert Path(store._path).read_bytes() == (expected[-1] if expected else before)
    assert memory(store) == parsed(writes[-1] if writes else START)


def test_unsaved_values_reach_the_file_with_the_next_save(make_store):
    store = make_store(START, mixin=Counting)
    store._set("a", "y", "2", False)
    store._set("b", "z", "3", save=False)
    store._set("c", "w", "4")
    saved = "[a]\nx = 1\ny = 2\n\n[b]\nz = 3\n\n"
    assert store.writes == [BOM + (saved + "[c]\n\n").encode(), BOM + (saved + "[c]\nw = 4\n\n").encode()]


class SpyParser(configparser.ConfigParser):
    def __init__(self):
        super().__init__()
        self.set_calls = []

    def set(self, section, option, value=None):
        self.set_calls.append((section, option, value))
        super().set(section, option, value)


class Text(str):
    def __str__(self):
        return "converted"


SEC, OPT = "".join(["se", "c"]), "".join(["op", "t"])


@pytest.mark.parametrize("section,option,value,texts", [
    (SEC, OPT, "".join(["va", "lue"]), ("sec", "opt", "value")), (SEC, OPT, 5, ("sec", "opt", "5")),
    (SEC, OPT, None, ("sec", "opt", "None")), (SEC, OPT, True, ("sec", "opt", "True")),
    (SEC, OPT, Text("raw"), ("sec", "opt", "converted")),
    # str subclasses as their characters, whatever their own methods say
    (Sec.B, Masked("Opt"), Spelled("raw"), ("b", "Opt", "raw")),
])
def test_names_and_values_reach_the_parser_as_text(make_store, section, option, value, texts):
    store = make_store(START)
    store._config = spy = SpyParser()
    assert store._set(section, option, value, False) is True
    ((*got,),) = spy.set_calls
    assert [(type(g), g) for g in got] == [(str, t) for t in texts]
    for given, handed in zip((section, option, value), got):
        assert handed is given or type(given) is not str  # an exact str goes on as the object itself


PAIRS = [("k", "1"), ("m", "2")]


@pytest.mark.parametrize("make_arg,pairs", [
    pytest.param(lambda: dict(PAIRS), PAIRS, id="exact-dict"),
    pytest.param(lambda: SkewedDict(PAIRS), [("p", "1")], id="dict-subclass-items"),
    pytest.param(lambda: Items(list(PAIRS)), PAIRS, id="items-list"),
    pytest.param(lambda: Items(tuple(PAIRS)), PAIRS, id="items-tuple"),
    pytest.param(lambda: Items(lambda: (list(p) for p in PAIRS)), PAIRS, id="items-generator-of-lists"),
    pytest.param(lambda: Items([OddPair(p) for p in PAIRS]), PAIRS, id="tuple-subclass-by-index"),
    pytest.param(lambda: Items(["k1", "m2"]), PAIRS, id="two-character-strings"),
])
def test_set_option_walks_option_dicts(make_store, make_arg, pairs):
    store = make_store(START, mixin=Counting)
    assert store._set_option("s", make_arg(), False) is True
    assert store._config.items("s") == pairs and store.writes == []


@pytest.mark.parametrize("make_arg,sections", [
    pytest.param(lambda: {"s": {"k": "1"}, "t": {}}, ["a", "s", "t"], id="exact-dict"),
    pytest.param(lambda: SkewedDict(s={}), ["a", "p"], id="dict-subclass-items"),
    pytest.param(lambda: Items(lambda: ([n, {}] for n in "st")), ["a", "s", "t"], id="items-generator"),
    pytest.param(lambda: Items((OddPair(("s", {})),)), ["a", "s"], id="tuple-subclass-by-index"),
])
def test_set_all_walks_section_dicts(make_store, make_arg, sections):
    store = make_store(START, mixin=Counting)
    assert store._set_all(make_arg(), False) is True
    assert store._config.sections() == sections and store.writes == []


def fail(id, method, args, exc, where, new, message=None, saved=START):
    """A failing call on a store holding START: the sections the parser holds afterwards
    besides "a", and the file text written before the failure (START: nothing written)."""
    return pytest.param(method, args, exc, where, new, message, saved, id=id)


K1 = [("k", "1")]
FAILURES = [
    # walking an option dict: the new section was saved before the walk
    fail("option-none", "_set_option", ("s", None), AttributeError, "_set_option:2", {"s": {}},
         "'NoneType' object has no attribute 'items'", saved=START + "[s]\n\n"),
    fail("option-list", "_set_option", ("s", K1), AttributeError, "_set_option:2", {"s": {}},
         "'list' object has no attribute 'items'", saved=START + "[s]\n\n"),
    fail("option-three-tuple", "_set_option", ("a", Items(K1 + [("m", "2", "3")])), ValueError,
         "_set_option:2", {"a": {"x": "1", "k": "1"}}, "too many values to unpack (expected 2)"),
    fail("option-one-tuple", "_set_option", ("a", Items(K1 + [("m",)])), ValueError,
         "_set_option:2", {"a": {"x": "1", "k": "1"}}, "need more than 1 value to unpack"),
    fail("option-empty-tuple", "_set_option", ("a", Items(K1 + [()])), ValueError,
         "_set_option:2", {"a": {"x": "1", "k": "1"}}, "need more than 0 values to unpack"),
    fail("option-one-list", "_set_option", ("a", Items(K1 + [["m"]])), ValueError,
         "_set_option:2", {"a": {"x": "1", "k": "1"}}, "need more than 1 value to unpack"),
    fail("option-three-characters", "_set_option", ("a", Items(K1 + ["mno"])), ValueError,
         "_set_option:2", {"a": {"x": "1", "k": "1"}}, "too many values to unpack (expected 2)"),
    fail("option-int-item", "_set_option", ("a", Items(K1 + [7])), TypeError, "_set_option:2",
         {"a": {"x": "1", "k": "1"}}),
    fail("option-int-items", "_set_option", ("a", Items(7)), TypeError, "_set_option:2", {}),
    fail("option-pair-fails-after-two", "_set_option", ("a", Items(lambda: K1 + [pair_then_broken()])), Broken,
         "_set_option:2", {"a": {"x": "1", "k": "1"}}, "pair broke"),
    fail("option-items-raises", "_set_option", ("a", Items(broken_items)), Broken, "_set_option:2",
         {"a": {"x": "1", "k": "1"}}, "items broke"),
    # walking a section dict, and failures inside the calls it makes
    fail("all-none", "_set_all", (None,), AttributeError, "_set_all:1", {},
         "'NoneType' object has no attribute 'items'"),
    fail("all-list", "_set_all", ([("s", {})],), AttributeError, "_set_all:1", {}),
    fail("all-three-tuple", "_set_all", (Items([("s", {"k": "1"}), ("t", {}, {})]),), ValueError,
         "_set_all:1", {"s": {"k": "1"}}, "too many values to unpack (expected 2)"),
    fail("all-value-without-text", "_set_all", ({"s": {"k": Unprintable()}},), Broken,
         "_set_all:2 _set_option:3 _set:2", {"s": {}}, "no text"),
    fail("all-section-of-none", "_set_all", ({"s": {"k": "1"}, "t": None},), AttributeError,
         "_set_all:2 _set_option:2", {"s": {"k": "1"}, "t": {}}),
    # a save flag whose truth test raises
    fail("flag-set-missing", "_set", ("b", "y", "2", BadFlag()), Broken, "_set:1 _set_section:3",
         {"b": {}}, "no truth"),
    fail("flag-set-present", "_set", ("a", "y", "2", BadFlag()), Broken, "_set:3",
         {"a": {"x": "1", "y": "2"}}),
    fail("flag-section", "_set_section", ("b", BadFlag()), Broken, "_set_section:3", {"b": {}}),
    fail("flag-option-present", "_set_option", ("a", {"y": "2"}, BadFlag()), Broken, "_set_option:4",
         {"a": {"x": "1", "y": "2"}}),
    fail("flag-option-missing", "_set_option", ("b", {"y": "2"}, BadFlag()), Broken,
         "_set_option:1 _set_section:3", {"b": {}}),
    fail("flag-all", "_set_all", ({"b": {"y": "2"}}, BadFlag()), Broken, "_set_all:3", {"b": {"y": "2"}}),
    # names the parser rejects, and a value without text
    fail("section-default", "_set_section", ("DEFAULT",), ValueError, "_set_section:2", {}),
    fail("section-default-masked", "_set_section", (Masked("DEFAULT"),), ValueError, "_set_section:2", {},
         "Invalid section name: 'DEFAULT'"),
    fail("set-default", "_set", ("DEFAULT", "k", "1"), ValueError, "_set:1 _set_section:2", {}),
    fail("set-int-section", "_set", (5, "k", "1"), TypeError, "_set:1 _set_section:2", {}),
    fail("set-int-option", "_set", ("a", 5, "1"), TypeError, "_set:2", {}),
    fail("set-value-without-text", "_set", ("a", "k", Unprintable()), Broken, "_set:2", {}),
    fail("option-int-option", "_set_option", ("a", {5: "1"}), TypeError, "_set_option:3 _set:2", {}),
    fail("all-default", "_set_all", ({"DEFAULT": {}},), ValueError,
         "_set_all:2 _set_option:1 _set_section:2", {}),
    # what the file cannot carry: names before anything changes, a value after its section was made
    fail("refuse-empty-section", "_set", ("", "k", "v"), ValueError, "_set:1", {},
         "cannot store section name '': the INI file cannot carry an empty section name"),
    fail("refuse-section-line-break", "_set_section", ("b\r",), ValueError, "_set_section:2", {},
         "cannot store section name 'b\\r': the INI file cannot carry a line break in a section name"),
    fail("refuse-section-surrogate", "_set_all", ({"b": {"k": "1"}, "\udcff": {}},), ValueError,
         "_set_all:2 _set_option:1 _set_section:2", {"b": {"k": "1"}},
         "cannot store section name '\\udcff': the INI file cannot carry "
         "a lone surrogate (which UTF-8 cannot encode) in a section name"),
    fail("refuse-option-colon", "_set", ("b", "c:/temp", "1", False), ValueError, "_set:1", {},
         "cannot store option name 'c:/temp': the INI file cannot carry ':' in an option name"),
    fail("refuse-option-equals", "_set_option", ("b", {"k": "1", "a=b": "2"}), ValueError,
         "_set_option:3 _set:1", {"b": {"k": "1"}},
         "cannot store option name 'a=b': the INI file cannot carry '=' in an option name", saved=START + "[b]\n\n"),
    fail("refuse-option-empty", "_set", ("a", "", "1"), ValueError, "_set:1", {},
         "cannot store option name '': the INI file cannot carry an empty option name"),
    fail("refuse-option-line-break", "_set", ("a", "k\nj", "1"), ValueError, "_set:1", {},
         "cannot store option name 'k\\nj': the INI file cannot carry a line break in an option name"),
    fail("refuse-option-comment", "_set", ("a", ";x", "1"), ValueError, "_set:1", {},
         "cannot store option name ';x': the INI file cannot carry an option name that starts with '#' or ';', "
         "which reads as a comment"),
    fail("refuse-option-header", "_set", ("a", "[x]", "1"), ValueError, "_set:1", {},
         "cannot store option name '[x]': the INI file cannot carry an option name that starts with '[', "
         "which can read as a section header"),
    fail("refuse-option-leading-space", "_set", ("a", "\x0bx", "1"), ValueError, "_set:1", {},
         "cannot store option name '\\x0bx': the INI file cannot carry whitespace at either end of an option name"),
    fail("refuse-option-trailing-space", "_set", ("a", Masked("x\u2028"), "1"), ValueError, "_set:1", {},
         "cannot store option name 'x\\u2028': the INI file cannot carry whitespace at either end of an option name"),
    fail("refuse-option-whitespace-run", "_set", ("a", f"p{RUN}q", "1"), ValueError, "_set:1", {},
         f"cannot store option name {'p' + RUN + 'q'!r}: the INI file cannot carry more than 16 whitespace "
         "characters in a row in an option name, which the parser reads back in quadratic time"),
    fail("refuse-value-carriage-return", "_set", ("a", "x", "2\r\n"), ValueError, "_set:2", {},
         "cannot store value '2\\r\\n' of option 'x': the INI file cannot carry a carriage return in a value"),
    # the first flaw in the text's order is the one named
    fail("refuse-value-return-before-a-comment", "_set", ("a", "x", "a\n\r#"), ValueError, "_set:2", {},
         "cannot store value 'a\\n\\r#' of option 'x': the INI file cannot carry a carriage return in a value"),
    fail("refuse-value-comment-before-a-return", "_set", ("a", "x", "a\n#\r"), ValueError, "_set:2", {},
         "cannot store value 'a\\n#\\r' of option 'x': the INI file cannot carry a value line after the first "
         "that starts with '#' or ';', which reads as a comment"),
    fail("refuse-value-new-section", "_set", ("b", "k", "a\n \n\t#b"), ValueError, "_set:2", {"b": {}},
         "cannot store value 'a\\n \\n\\t#b' of option 'k': the INI file cannot carry a value line after the "
         "first that starts with '#' or ';', which reads as a comment", saved=START + "[b]\n\n"),
    fail("refuse-value-text", "_set_all", ({"a": {"y": "2", "k": Spelled("\ud800")}},), ValueError,
         "_set_all:2 _set_option:3 _set:2", {"a": {"x": "1", "y": "2"}},
         "cannot store value '\\ud800' of option 'k': the INI file cannot carry "
         "a lone surrogate (which UTF-8 cannot encode) in a value"),
    fail("refuse-value-before-the-option-type", "_set", ("a", 5, "1\r"), ValueError, "_set:2", {},
         "cannot store value '1\\r': the INI file cannot carry a carriage return in a value"),
]


@pytest.mark.parametrize("method,args,exc,where,new,message,saved", FAILURES)
def test_failures_keep_what_was_done(make_store, method, args, exc, where, new, message, saved):
    store = make_store(START, mixin=Counting)
    with pytest.raises(exc) as info:
        getattr(store, method)(*args)
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value) == at(where)
    assert memory(store) == {"a": {"x": "1"}, **new}
    assert store.writes == ([] if saved == START else [BOM + saved.encode()])
    assert Path(store._path).read_bytes() == (START.encode() if saved == START else BOM + saved.encode())


def test_a_value_cannot_add_settings(make_store):
    store = make_store(START)
    with pytest.raises(ValueError, match="cannot carry a carriage return in a value$"):
        store._set("user", "name", "mallory\r[admin]\rrole = root")
    # the same lines joined by "\n" are one value of three lines
    assert store._set("user", "note", "mallory\n[admin]\nrole = root") is True
    assert type(store)(store._path)._get_all() == {
        "a": {"x": "1"}, "user": {"note": "mallory\n[admin]\nrole = root"}}


@pytest.mark.parametrize("part,flaw,message", [
    ("section", "\n", "a line break in a section name"), ("section", "\r", "a line break in a section name"),
    ("option", "\n", "a line break in an option name"), ("option", "=", "'=' in an option name"),
    ("option", ":", "':' in an option name"), ("value", "\r", "a carriage return in a value"),
])
def test_a_flaw_is_found_at_every_place_of_an_ascii_text(make_store, part, flaw, message):
    # ASCII texts are looked at a byte, four bytes or eight bytes at a time, by their length
    store = make_store(START)
    for length in range(1, 18):
        for place in range(length):
            text = "x" * place + flaw + "x" * (length - place - 1)
            with pytest.raises(ValueError) as info:
                store._set(*{"section": (text, "o", "v"), "option": ("a", text, "v"), "value": ("a", "o", text)}[part],
                           save=False)
            assert str(info.value).endswith(f"cannot carry {message}"), (length, place)


class NoSet:
    def has_section(self, section):
        return True


class Watched:
    def __init__(self, text):
        self.text, self.converted = text, False

    def __str__(self):
        self.converted = True
        return self.text


@pytest.mark.parametrize("value", [Watched("1"), Watched("1\r"), "1\r"],
                         ids=["converted", "converted-refused", "refused"])
def test_set_is_looked_up_before_the_value_is_converted_or_judged(make_store, value):
    store = make_store(START)
    store._config = NoSet()
    with pytest.raises(AttributeError, match="'NoSet' object has no attribute 'set'") as info:
        store._set("a", "x", value)
    assert entries(info.value) == at("_set:2")
    assert not getattr(value, "converted", False)


def test_present_section_never_tests_save(make_store):
    assert make_store(START)._set_section("a", BadFlag()) is True


class Growing(Counting):
    def _set(self, section, option, value, save=True):
        self.walked[option + "+"] = "extra"
        return super()._set(section, option, value, save)


def test_option_dict_growing_during_the_walk(make_store):
    store = make_store(START, mixin=Growing)
    store.walked = {"k": "1", "m": "2"}
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$") as info:
        store._set_option("a", store.walked)
    assert entries(info.value) == at("_set_option:2")
    assert store._config.items("a") == [("x", "1"), ("k", "1")] and store.writes == []


@pytest.mark.parametrize("method,args,where,new", [
    pytest.param("_set_section", ("a",), "_set_section:4", {"a": {}}, id="section"),
    pytest.param("_set", ("a", "x", "1"), "_set:1 _set_section:4", {"a": {}}, id="set-missing"),
    pytest.param("_set", ("p", "x", "1"), "_set:4", {"p": {"x": "1"}}, id="set-present"),
    pytest.param("_set_option", ("p", {"x": "1"}), "_set_option:5", {"p": {"x": "1"}}, id="option"),
    pytest.param("_set_all", ({"a": {"x": "1"}},), "_set_all:4", {"a": {"x": "1"}}, id="all"),
])
def test_unwritable_file_keeps_the_change_in_memory(tmp_path, store_class, method, args, where, new):
    store = store_class(str(tmp_path))
    store._set_section("p", False)
    with pytest.raises(IsADirectoryError) as info:
        getattr(store, method)(*args)
    assert entries(info.value) == at(where + " _save:1")
    assert memory(store) == {"p": {}, **new}


class Recording:
    def __init__(self, path):
        self.calls = []
        super().__init__(path)
        self.calls.clear()


def _recorder(name):
    def method(self, *args, **kwargs):
        self.calls.append((name, args, kwargs))
        return getattr(super(Recording, self), name)(*args, **kwargs)
    return method


for _name in ("_set", "_set_section", "_set_option", "_set_all", "_has_section", "_save", "_read"):
    setattr(Recording, _name, _recorder(_name))


FLAG, OD, QUIET = "yes", {"y": "1"}, {"save": False}  # FLAG: a true save that is not True
SAVE_READ = [("_save", (), {}), ("_read", (), {})]
MASKED_OD = {Masked("y"): "1"}


def ensure(section, save):
    return [("_set_section", (section, save), {}), ("_has_section", (section,), {})]


@pytest.mark.parametrize("method,args,expected", [
    pytest.param("_set", ("b", "y", 5, FLAG), [*ensure("b", FLAG), *SAVE_READ, *SAVE_READ], id="set-missing"),
    pytest.param("_set", ("a", "y", "2", False), ensure("a", False), id="set-present-unsaved"),
    pytest.param("_set_option", ("b", OD, FLAG), [*ensure("b", FLAG), *SAVE_READ, ("_set", ("b", "y", "1"), QUIET),
                                                 *ensure("b", False), *SAVE_READ], id="option-missing"),
    pytest.param("_set_all", ({"b": OD}, FLAG), [("_set_option", ("b", OD), QUIET), *ensure("b", False),
                                                 ("_set", ("b", "y", "1"), QUIET), *ensure("b", False),
                                                 *SAVE_READ], id="all-missing"),
    pytest.param("_set_option", (Masked("b"), MASKED_OD, FLAG), [*ensure("b", FLAG), *SAVE_READ,
                                                                 ("_set", ("b", "y", "1"), QUIET), *ensure("b", False),
                                                                 *SAVE_READ], id="option-masked-names"),
    pytest.param("_set_all", ({Masked("b"): MASKED_OD},), [("_set_option", ("b", MASKED_OD), QUIET),
                                                           *ensure("b", False), ("_set", ("b", "y", "1"), QUIET),
                                                           *ensure("b", False), *SAVE_READ], id="all-masked-names"),
])
def test_inner_calls_go_through_the_store(make_store, method, args, expected):
    store = make_store(START, mixin=Recording)
    assert getattr(store, method)(*args) is True

    def strict(calls):  # every argument paired with its type: False is not 0, True not 1
        return [(n, [(type(a), a) for a in args], {k: (type(v), v) for k, v in kw.items()})
                for n, args, kw in calls]
    assert strict(store.calls) == strict([(method, args, {}), *expected])


def test_instance_attributes_shadow_the_methods(make_store):
    store = make_store(START)
    saves = []
    store._has_section = lambda section: section == "ghost" or store._config.has_section(section)
    store._save = lambda: saves.append(store._config.sections())
    assert store._set_section("ghost") is True
    assert store._config.sections() == ["a"] and saves == []
    assert store._set("a", "y", "2") is True
    assert saves == [["a"]] and Path(store._path).read_text() == START
    assert store._config.get("a", "y") == "2"  # the file was laid over the unsaved value


def test_set_all_of_get_all_reproduces_the_file(make_store):
    first = make_store("[one]\nk = 1\nm = two words\n\n[two]\n\n[three]\nz = 3\n", name="first.ini")
    first._set("one", "n", "x")
    second = make_store(None, name="second.ini", mixin=Counting)
    assert second._set_all(first._get_all()) is True
    assert len(second.writes) == 1
    assert Path(second._path).read_bytes() == Path(first._path).read_bytes()


@pytest.mark.compiled  # the frame's one defaults tuple, which the methods do not read
def test_changed_defaults_tuple_does_not_change_an_absent_save(make_store):
    store = make_store(START, mixin=Counting)
    original = ini_main.TovrelIniMain._set.__defaults__
    try:
        ini_main.TovrelIniMain._set.__defaults__ = (False,)
        assert ini_main.TovrelIniMain._set.__defaults__ == (False,)
        store._set("a", "y", "2")
    finally:
        ini_main.TovrelIniMain._set.__defaults__ = original
    assert store.writes == [BOM + b"[a]\nx = 1\ny = 2\n\n"]


# What the file carries, against what the parser reads back.  Each part of a write is plain
# text, or plain words with pieces that the format reacts to at their start, between them and
# at their end; a value may have several lines, each such a part, joined by line breaks.
# The odd pieces include the characters at each edge of a class the rules draw (whitespace,
# line break, surrogate, the widths a str is stored in) and runs of whitespace around 16.
ODD = st.sampled_from(["#", "#", ";", "[", "[", "]", "=", ":", "%%", "\n", "\n", "\r", "\r\n", " ", "\t", "\x0b",
                       "\x0c", "\x1c", "\x85", "\xa0", "\u2028", "\u3000", "\ufeff", "\ud800", "İ", "Σ", "😀",
                       "\x08", "\x0e", "\x1b", "\x1f", "\x84", "\x86", "\x7f", "\x80", "\xff", "\u0100", "\ud7ff",
                       "\udfff", "\ue000", "\uffff", "\U00010000", " " * 16, "\x85" * 17, RUN[9:]])
WORD = st.text(st.characters(categories=["L", "N"]), min_size=1, max_size=4)
MAYBE = st.one_of(st.just(""), ODD)
RICH = st.tuples(MAYBE, WORD, MAYBE, st.one_of(st.just(""), WORD), MAYBE).map("".join)
BREAK = st.sampled_from(["\n", "\n", "\n", "\r", "\r\n"])
RICH_VALUE = st.tuples(st.one_of(st.just(""), RICH), st.lists(st.tuples(BREAK, MAYBE, RICH), max_size=2)).map(
    lambda t: t[0] + "".join("".join(line) for line in t[1]))
PLAIN = {"name": st.lists(WORD, min_size=1, max_size=3).map(" ".join),
         "value": st.text(st.sampled_from(string.ascii_letters + string.digits + string.punctuation.replace("%", "")
                                          + " éß字"), max_size=12)}
HELD = {"a": {"x": "1", "y": "two\nlines"}, "b": {"z": "3"}}
PARTS = ("section name", "option name", "value")


@st.composite
def writes(draw):
    """A section, an option and one to three values for them, each as (what is passed, its
    text, whether it is plain); names may come as a Masked str, values as a Spelled one."""
    def part(kind):
        plain = draw(st.booleans())
        text = draw(PLAIN[kind] if plain else RICH if kind == "name" else RICH_VALUE)
        if not draw(st.booleans()):
            return text, text, plain
        return (Masked(text) if kind == "name" else Spelled(text)), text, plain
    section = ("a", "a", True) if draw(st.booleans()) else ("b", "b", True) if draw(st.booleans()) else part("name")
    return section, part("name"), [part("value") for _ in range(draw(st.integers(1, 3)))]


def longest_whitespace_run(text):
    return max((len(run) for run in re.findall(r"\s+", text)), default=0)


def as_read(value):
    """The value as the file gives it back: each line without its surrounding whitespace,
    trailing empty lines dropped."""
    return "\n".join(line.strip() for line in value.split("\n")).rstrip("\n")


def bare_round_trip(folder, sections):
    """What a bare parser holds after writing `sections` to a file and reading it back;
    None when the write or the read fails."""
    parser, path = configparser.ConfigParser(), os.path.join(folder, "bare.ini")
    for section, options in sections.items():
        parser.add_section(section)
        for option, value in options.items():
            parser.set(section, option, value)
    try:
        with open(path, "w", encoding="utf-8-sig") as file:
            parser.write(file)
        fresh = configparser.ConfigParser()
        fresh.read(path, encoding="utf-8-sig")
    except (UnicodeError, configparser.Error):
        return None
    return {s: dict(fresh.items(s, raw=True)) for s in fresh.sections()}


def lost_by_a_bare_parser(folder, part, text):
    """Whether a bare parser loses `text`, as that part of a write, in one of a few settings:
    between neighbours, and (an option name) before a value of "]"."""
    if part == "section name":
        tried = [{"a": {"x": "1"}, text: {"k": "v"}, "c": {"q": "2"}}]
    elif part == "option name":
        tried = [{"s": {"p": "1", text: v, "q": "2"}} for v in ("v", "]")]
    else:
        tried = [{"s": {"p": "1", "k": text, "q": "2"}}]
    return any(bare_round_trip(folder, one) != {s: {o.lower(): as_read(v) for o, v in opts.items()}
                                                 for s, opts in one.items()} for one in tried)


# The sanitizer and memcheck runs, tens of times slower, take fewer examples.
ROUND_TRIPS = 25 if SANITIZED else max(300, settings.default.max_examples)


def plain_part(text):
    return text, text, True


def odd_part(text):
    return text, text, False


@settings(max_examples=ROUND_TRIPS, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(write=writes())
@example(write=(odd_part("s]"), plain_part("a b"), [odd_part("x]=[:#;%%\n  y\n\n"), odd_part("[z]\n\ufeff#")]))
@example(write=(plain_part("a"), odd_part("[x"), [plain_part("]")]))
@example(write=(plain_part("b"), odd_part("x\x85"), [plain_part("1")]))
@example(write=(odd_part("s\r"), plain_part("k"), [plain_part("1")]))
@example(write=(plain_part("a"), plain_part("y"), [odd_part("first\n \n\x0b# second"),
                                                  odd_part("m\r[admin]\rrole = root"), odd_part("1\r\n"),
                                                  odd_part("\udcff"), odd_part("x\udfff"), odd_part("a\n\r#"),
                                                  odd_part("a\n \r;")]))
@example(write=((Masked("b"), "b", True), (Masked("p" + RUN[:16] + "q"), "p" + RUN[:16] + "q", False),
                [(Spelled("1"), "1", True), plain_part("2")]))
@example(write=(plain_part("b"), odd_part("p" + RUN + "q"), [plain_part("1")]))
@example(write=(plain_part("b"), odd_part("p" + " " * 17 + "q"), [plain_part("1")]))
def test_the_store_refuses_exactly_what_the_file_loses(text_class, write):
    (section, section_text, plain_section), (option, option_text, plain_option), values = write
    with tempfile.TemporaryDirectory() as folder:
        path, same = os.path.join(folder, "settings.ini"), os.path.join(folder, "same.ini")
        for each in (path, same):
            Path(each).write_bytes(BOM + b"[a]\nx = 1\ny = two\n\tlines\n\n[b]\nz = 3\n\n")
        # the served text of the methods, run as Python, is held to the same answers and file
        store, text_store, held = ini_main.TovrelIniMain(path), text_class(same), HELD
        for value, value_text, plain_value in values:
            before = Path(path).read_bytes()
            messages = []
            for each in (store, text_store):
                try:
                    each._set(section, option, value)
                    messages.append(None)
                except ValueError as error:
                    messages.append(str(error))
                    if each is store:
                        assert entries(error) == at("_set:2" if str(error).startswith("cannot store value") else "_set:1")
            assert messages[0] == messages[1]
            assert Path(path).read_bytes() == Path(same).read_bytes()
            refused = None
            if messages[0] is not None:
                refused = next((p for p in PARTS if messages[0].startswith(f"cannot store {p} ")), None)
                assert refused, messages[0]
            # Each part up to the refused one is judged: the refused one is lost by a bare
            # parser, the others are not.  A "\r" in a value is refused even where it ends a
            # line and would be lost as whitespace, and an option name with a whitespace run
            # longer than 16 is refused though the file would carry it.
            for part, text, plain in zip(PARTS, (section_text, option_text, value_text),
                                         (plain_section, plain_option, plain_value)):
                if part == "value" and "\r" in text or part == "option name" and longest_whitespace_run(text) > 16:
                    assert refused == part
                else:
                    assert (refused == part) == lost_by_a_bare_parser(folder, part, text), (part, text)
                assert not (plain and refused == part), (part, text)
                if refused == part:
                    break
            if refused:
                # a refused value leaves the new empty section that the call made before it
                expected = held
                if refused == "value" and section_text not in held:
                    expected = {**held, section_text: {}}
                assert memory(store) == memory(ini_main.TovrelIniMain(path)) == expected
                if expected is held:
                    assert Path(path).read_bytes() == before
                held = expected
            else:
                held = {**held, section_text: {**held.get(section_text, {}), option_text.lower(): as_read(value_text)}}
                assert memory(ini_main.TovrelIniMain(path)) == held
