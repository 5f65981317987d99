"""Value lookups: one value, one section, the whole store."""
import configparser
import itertools

import pytest

from conftest import at, entries

TEXT = "[b]\nx = 1\n\n[a]\nk = v\n\n"
CONTENT = {"b": {"x": "1"}, "a": {"k": "v"}}


class Parser:
    """A parser double: `items` hands back what `make_items` builds, `get` answers `value`."""
    def __init__(self, make_items=list, value=None, names=("s",)):
        self.make_items, self.value, self.names, self.last = make_items, value, names, None

    def sections(self):
        return self.names

    def items(self, *args):
        self.last = ("items", args)
        return self.make_items()

    def get(self, *args):
        self.last = ("get", args)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def test_get_hands_back_the_parser_value_itself(make_store):
    store = make_store(TEXT)
    assert store._get("a", "k") == store._get(option="k", section="a") == "v"
    section, option, value = ("a",), 3, object()
    store._config = Parser(value=value)
    assert store._get(section, option) is value
    assert store._config.last == ("get", (section, option)) and store._config.last[1][0] is section
    store._config.value = error = LookupError("no fallback")
    with pytest.raises(LookupError) as exc:
        store._get("a", "k")
    assert exc.value is error and entries(exc.value) == at("_get:1")


@pytest.mark.parametrize("section, option, error", [
    ("a", "missing", configparser.NoOptionError), ("missing", "k", configparser.NoSectionError)])
def test_get_of_a_missing_name_raises_the_parser_error(make_store, section, option, error):
    store = make_store(TEXT)
    with pytest.raises(error) as exc:
        store._get(section, option)
    assert entries(exc.value) == at("_get:1")


def test_get_option_hands_back_the_very_names_and_values(make_store):
    store = make_store()
    name, value, section = "".join(["na", "me"]), object(), ["s"]
    store._config = Parser(lambda: [(name, value)])
    result = store._get_option(section)
    assert next(iter(result)) is name and result[name] is value
    assert store._config.last == ("items", (section,)) and store._config.last[1][0] is section


Swapped = type("Swapped", (tuple,), {"__iter__": lambda self: iter(("name", "value"))})
Listed = type("Listed", (list,), {"__iter__": lambda self: iter([("from", "iterator")])})


def growing_pairs():
    """A list whose only item appends one more pair to the list while it is unpacked."""
    pairs = []
    grow = type("Growing", (), {"__iter__": lambda self: pairs.append(("late", "2")) or iter("e1")})
    pairs.append(grow())
    return pairs


@pytest.mark.parametrize("make_items, expected", [
    (list, []),
    (lambda: iter([("b", "1"), ("a", "2"), ("b", "3")]), [("b", "1"), ("a", "2")]),
    (lambda: ["ab", ["c", "d"]], [("a", "b"), ("c", "d")]),
    (lambda: [Swapped(("a", "b", "c"))], [("name", "value")]),
    (lambda: Listed([("by", "index")]), [("from", "iterator")]),
    (growing_pairs, [("e", "1"), ("late", "2")]),
], ids=["empty", "first-pair-wins", "other-iterables", "tuple-subclass", "list-subclass", "growing-list"])
def test_get_option_walks_items_like_a_for_statement(make_store, make_items, expected):
    store = make_store()
    store._config = Parser(make_items)
    assert list(store._get_option("s").items()) == expected


CONTAINERS = {"list": list, "tuple": tuple, "generator": lambda pairs: (p for p in pairs)}
ITEMS = {"tuple": tuple, "list": list, "generator": lambda s: (c for c in s), "string": str}
MESSAGES = {0: "need more than 0 values to unpack", 1: "need more than 1 value to unpack",
            3: "too many values to unpack (expected 2)"}


@pytest.mark.parametrize("count", MESSAGES)
@pytest.mark.parametrize("item", ITEMS)
@pytest.mark.parametrize("container", CONTAINERS)
def test_item_of_the_wrong_size_fails_to_unpack(make_store, container, item, count):
    store = make_store()
    store._config = Parser(lambda: CONTAINERS[container]([("ok", "1"), ITEMS[item]("abc"[:count])]))
    with pytest.raises(ValueError) as exc:
        store._get_option("s")
    assert str(exc.value) == MESSAGES[count]
    assert entries(exc.value) == at("_get_option:2")


def test_unpacking_asks_for_exactly_one_value_too_many(make_store):
    store = make_store()
    endless = itertools.count()
    store._config = Parser(lambda: [endless])
    with pytest.raises(ValueError, match=r"expected 2\)$"):
        store._get_option("s")
    assert next(endless) == 3


def broken_pairs():
    yield "k", "v"
    raise KeyError("from the iteration")


@pytest.mark.parametrize("make_items, error, line", [  # the statement of _get_option that fails
    (lambda: 5, TypeError, 2), (lambda: [5], TypeError, 2),
    (broken_pairs, KeyError, 2), (lambda: [broken_pairs()], KeyError, 2),
    (lambda: [(["unhashable"], "v")], TypeError, 3),
], ids=["items-not-iterable", "item-not-iterable", "items-raise", "item-raises", "unhashable"])
def test_get_option_failures_and_get_all_entries_above_them(make_store, make_items, error, line):
    store = make_store()
    store._config = Parser(make_items)
    with pytest.raises(error) as exc:
        store._get_option("s")
    assert entries(exc.value) == at(f"_get_option:{line}")
    with pytest.raises(error) as exc:
        store._get_all()
    assert entries(exc.value) == at(f"_get_all:3 _get_option:{line}")


class Listing:
    """A store whose `_sections` lists chosen names and which keeps every option dictionary made."""
    def _sections(self):
        return self.names

    def _get_option(self, section):
        self.made.append(super()._get_option(section))
        return self.made[-1]


@pytest.mark.parametrize("names", [["b", "a"], ["a"], ["a", "b", "a"], []])
def test_get_all_follows_the_store_sections(make_store, names):
    store = make_store(TEXT, mixin=Listing)
    store.names, store.made = names, []
    result = store._get_all()
    assert list(result) == list(dict.fromkeys(names)) and len(store.made) == len(names)
    assert all(result[s] is store.made[names.index(s)] == CONTENT[s] for s in result)


def test_get_all_of_a_plain_store(make_store):
    store = make_store(TEXT)
    assert list(store._get_all().items()) == list(CONTENT.items())
    assert make_store(None, name="none.ini")._get_all() == {}


@pytest.mark.parametrize("names, error, expected", [
    (5, TypeError, "_get_all:2"), ([["unhashable"]], TypeError, "_get_all:3"),
    (None, AttributeError, "_get_all:2 _sections:1")])
def test_get_all_failures_around_sections(make_store, names, error, expected):
    store = make_store()
    store._config = Parser(names=names)
    if names is None:
        del store._config
    with pytest.raises(error) as exc:
        store._get_all()
    assert entries(exc.value) == at(expected)


def test_returned_dictionaries_are_new_and_the_caller_s(make_store, tmp_path):
    store = make_store(TEXT)
    first, second = store._get_all(), store._get_all()
    assert first is not second and first["a"] is not second["a"]
    first["a"]["k"] = "changed"
    del first["b"]
    store._get_option("b")["new"] = "1"
    assert store._get_all() == CONTENT and store._get_option("b") == {"x": "1"}
    assert (tmp_path / "settings.ini").read_text() == TEXT


def test_round_trip_through_files(make_store, tmp_path):
    source = make_store("[é]\nk = ä€\nmulti = one\n\ttwo\n\n[b]\nx = 1\n")
    make_store(None, name="copy.ini")._set_all(source._get_all())
    again = type(source)(str(tmp_path / "copy.ini"))._get_all()
    assert again == source._get_all() == {"é": {"k": "ä€", "multi": "one\ntwo"}, "b": {"x": "1"}}
