"""Structure queries: sections, options and the existence tests."""
import configparser

import pytest

from conftest import at, entries

TEXT = "[a]\nk = v\n\n[b]\nx = 1\n"


class Parser:
    """A parser double that records each call and answers with a fixed object or raises it."""
    def __init__(self, answer):
        self.answer, self.calls = answer, []

    def __getattr__(self, name):
        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if isinstance(self.answer, BaseException):
                raise self.answer
            return self.answer
        return method


QUERIES = [("_sections", "sections", 0), ("_options", "options", 1), ("_has_section", "has_section", 1),
           ("_has_option", "has_option", 2)]
ids = [q[0] for q in QUERIES]


@pytest.mark.parametrize("method, parser_method, nargs", QUERIES, ids=ids)
def test_query_hands_back_the_parser_result_itself(make_store, method, parser_method, nargs):
    store = make_store(TEXT)
    answer = object()  # not a bool: the store must not convert it
    store._config = Parser(answer)
    args = (["section", "not", "converted"], 3.5)[:nargs]
    assert getattr(store, method)(*args) is answer
    [(name, passed, kwargs)] = store._config.calls
    assert (name, kwargs) == (parser_method, {})
    assert len(passed) == nargs and all(p is a for p, a in zip(passed, args))


@pytest.mark.parametrize("how", ["parser raises", "no parser"])
@pytest.mark.parametrize("method, parser_method, nargs", QUERIES, ids=ids)
def test_query_failure_passes_unchanged(make_store, how, method, parser_method, nargs):
    store = make_store(TEXT)
    error = LookupError("from the parser")
    if how == "no parser":
        del store._config
    else:
        store._config = Parser(error)
    with pytest.raises(AttributeError if how == "no parser" else LookupError) as exc:
        getattr(store, method)(*("a", "k")[:nargs])
    assert how == "no parser" or exc.value is error
    assert entries(exc.value) == at(method + ":1")


def test_queries_follow_the_parser_not_the_file(make_store, tmp_path):
    store = make_store(TEXT)
    assert store._sections() == ["a", "b"] and store._options("a") == ["k"]
    assert store._has_section("a") is True and store._has_section("z") is False
    assert store._has_option("a", "k") is True and store._has_option("z", "k") is False
    store._sections().append("z")
    store._set_section("c", save=False)
    store._set("a", "k2", "v", save=False)
    store._remove_section("b", save=False)
    assert store._sections() == ["a", "c"] and store._options("a") == ["k", "k2"]
    assert store._has_section("c") and store._has_option("a", "k2") and not store._has_section("b")
    store._set_path()
    (tmp_path / "settings.ini").write_text(TEXT + "[d]\n")
    assert not store._has_section("d")
    store._read()
    assert store._has_section("d")
    store._save()
    assert store._sections() == [] and not store._has_section("a")
    store._read()
    assert store._sections() == ["a", "b", "d"]


def test_options_of_a_missing_section_raises_the_parser_error(make_store):
    store = make_store(TEXT)
    with pytest.raises(configparser.NoSectionError) as exc:
        store._options("z")
    assert entries(exc.value) == at("_options:1")
