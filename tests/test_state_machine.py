"""Differential test: random series of calls on the compiled store and on the served text's
class, the same methods as Python, each bound to its own file; after every step both agree
on the result or the exception (type, message and the entries of the store's methods), on
what the parser holds and on the bytes of the file."""
import os
import shutil
import tempfile
from types import MappingProxyType

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import ini_main
from conftest import entries, served_class
from doubles import BadFlag, Broken, Items, Unprintable

OMIT = object()
FAST_DIR = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None  # memory-backed: many small rewrites
TextStore = served_class()  # the store's methods as the equivalent Python


class NonTextStr:
    def __str__(self):
        return 5


class Text(str):
    def __str__(self):
        return "converted"


class Skewed(dict):
    """A dict subclass whose `items` differs from its entries."""

    def items(self):
        return [(str(k) + "_", v) for k, v in dict.items(self)]


class OddPair(tuple):
    def __iter__(self):
        return iter(("wrong", "wrong", "wrong"))


def raising():
    raise Broken("items broke")


def generator(pairs):
    return Items(lambda: (list(p) for p in pairs), label=f"generator of {pairs!r}")


GOOD_SECTIONS = st.sampled_from(["main", "net"])
SECTIONS = st.one_of(GOOD_SECTIONS, GOOD_SECTIONS, GOOD_SECTIONS, st.sampled_from(
    ["Main", "DEFAULT", "default", "", "a]b", "[x", "k = v", "two\nlines", "ünï", "日本", " pad ", "50%",
     "\ud800", 5, None, ("t",), b"main", ["unhashable"]]), st.text(max_size=4))
SECTION_KEYS = SECTIONS.filter(lambda name: not isinstance(name, list))
GOOD_OPTIONS = st.sampled_from(["x", "port"])
OPTIONS = st.one_of(GOOD_OPTIONS, GOOD_OPTIONS, GOOD_OPTIONS, st.sampled_from(
    ["X", "", "a=b", "a:b", "[s]", "new\nline", "#note", ";note", " sp ", "ö", "\ud800", 7, None, b"x", ["unhashable"]]),
    st.text(max_size=4))
OPTION_KEYS = OPTIONS.filter(lambda name: not isinstance(name, list))
GOOD_VALUES = st.one_of(st.sampled_from(["1", "", "on", "a\nb", "  padded  ", "%%", "%(x)s", "ünï"]),
                        st.integers(-5, 100))
VALUES = st.one_of(GOOD_VALUES, GOOD_VALUES, GOOD_VALUES, st.sampled_from(
    ["50%", "%(port)s", "\ud800", "[x]", "k = v", "#c", None, True, 2.5, b"b", [1], Text("sub"),
     Unprintable(), NonTextStr()]), st.text(max_size=6))
SAVES = st.sampled_from([OMIT, True, False, 0, 1, "", "yes", None, [], [0], BadFlag()])
PAIR = st.tuples(OPTION_KEYS, VALUES)
ODD_ITEM = st.one_of(PAIR, st.sampled_from([
    (), ("k",), ("k", "v", "w"), "ab", "a", "abc", ["k", "v"], ["k"], 5, OddPair(("k", "v")),
    {"k": 1, "j": 2}, {"k": 1}]))
OPTION_DICTS = st.one_of(
    st.dictionaries(OPTION_KEYS, VALUES, max_size=4),
    st.lists(PAIR, max_size=3).map(Items),
    st.lists(PAIR, max_size=3).map(lambda pairs: Items(tuple(pairs))),
    st.lists(PAIR, max_size=3).map(generator),
    st.lists(ODD_ITEM, max_size=3).map(Items),
    st.dictionaries(OPTION_KEYS, VALUES, max_size=3).map(MappingProxyType),
    st.dictionaries(OPTION_KEYS, VALUES, max_size=3).map(Skewed),
    st.lists(PAIR, max_size=2),
    st.sampled_from([None, 5, "ab", Items(5), Items(raising, "raising"), Items([OddPair(("k", "v"))])]))
SECTION_DICTS = st.one_of(
    st.dictionaries(SECTION_KEYS, OPTION_DICTS, max_size=3),
    st.lists(st.tuples(SECTION_KEYS, OPTION_DICTS), max_size=3).map(Items),
    st.lists(st.tuples(SECTION_KEYS, OPTION_DICTS), max_size=2).map(generator),
    st.sampled_from([None, [("main", {})], 7, Items([("main", {}, {})]), Skewed(main={"k": "v"})]))
LINES = st.sampled_from([
    "[main]", "[net]", "[DEFAULT]", "[Main]", "x = 1", "X: 2", "port=80", "  continued", "# comment",
    "; comment", "", "path = %(x)s/y", "pct = 50%%", "bad = 5%", "no delimiter", "[unclosed",
    "key =", "ünï = 日本"])
FILES = st.tuples(st.lists(LINES, max_size=8), st.booleans(), st.booleans(), st.booleans())


QUERIES = {"_get": 2, "_get_option": 1, "_get_all": 0, "_sections": 0, "_options": 1, "_has_section": 1,
           "_has_option": 2}  # method: how many of section and option it takes


def outcome(fn, args, kwargs, path):
    try:
        return "returned", fn(*args, **kwargs)
    except Exception as exc:
        return "raised", type(exc), str(exc).replace(path, "<file>"), entries(exc)


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def held(config):
    sections = [(s, list(config.items(s, raw=True))) for s in config.sections()]
    return list(config.defaults().items()), sections


class StoreAgainstText(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.folder = tempfile.mkdtemp(prefix="ini-machine-", dir=FAST_DIR)
        self.paths = [os.path.join(self.folder, side, "settings.ini") for side in ("store", "text")]
        for path in self.paths:
            os.mkdir(os.path.dirname(path))

    @initialize(sections=st.dictionaries(GOOD_SECTIONS, st.dictionaries(
        st.sampled_from(["x", "port", "host"]), st.sampled_from(["1", "on", "", "%%", "%(port)s", "ü"])),
        max_size=3))
    def construct(self, sections):
        """Both start from one file that the parser reads without error (or from no file)."""
        if sections:
            text = "".join(f"[{name}]\n" + "".join(f"{o} = {v}\n" for o, v in options.items())
                           for name, options in sections.items())
            for path in self.paths:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
        self.store, self.text = ini_main.TovrelIniMain(self.paths[0]), TextStore(self.paths[1])

    def teardown(self):
        shutil.rmtree(self.folder)

    def check(self, name, *args, save=OMIT, by_keyword=False):
        kwargs = {}
        if save is not OMIT:
            if by_keyword:
                kwargs["save"] = save
            else:
                args += (save,)
        got = outcome(getattr(self.store, name), args, kwargs, self.paths[0])
        want = outcome(getattr(self.text, name), args, kwargs, self.paths[1])
        assert len(got) == len(want) and got[0] == want[0], (got, want)
        if got[0] == "returned":
            assert same(got[1], want[1]), (got, want)
        else:
            assert got[1:] == want[1:], (got, want)

    @invariant()
    def parsers_and_files_agree(self):
        assert held(self.store._config) == held(self.text._config)
        contents = [open(p, "rb").read() if os.path.isfile(p) else None for p in self.paths]
        assert contents[0] == contents[1]

    def held_names(self, data, section, option):
        """Half of the time, names that the parser holds (when it holds any) in place of drawn ones."""
        config = self.text._config
        if config.sections() and data.draw(st.booleans(), label="held"):
            section = data.draw(st.sampled_from(config.sections()), label="section")
            if config.options(section):
                option = data.draw(st.sampled_from(config.options(section)), label="option")
        return section, option

    @rule(name=st.sampled_from(list(QUERIES)), section=SECTIONS, option=OPTIONS, data=st.data())
    def look_up(self, name, section, option, data):
        self.check(name, *self.held_names(data, section, option)[:QUERIES[name]])

    @rule(section=SECTIONS, option=OPTIONS, value=VALUES, save=SAVES, kw=st.booleans())
    def set(self, section, option, value, save, kw):
        self.check("_set", section, option, value, save=save, by_keyword=kw)

    @rule(section=SECTIONS, save=SAVES, kw=st.booleans())
    def set_section(self, section, save, kw):
        self.check("_set_section", section, save=save, by_keyword=kw)

    @rule(section=SECTIONS, option_dict=OPTION_DICTS, save=SAVES, kw=st.booleans())
    def set_option(self, section, option_dict, save, kw):
        self.check("_set_option", section, option_dict, save=save, by_keyword=kw)

    @rule(section_dict=SECTION_DICTS, save=SAVES, kw=st.booleans())
    def set_all(self, section_dict, save, kw):
        self.check("_set_all", section_dict, save=save, by_keyword=kw)

    @rule(section=SECTIONS, option=OPTIONS, whole=st.booleans(), save=SAVES, kw=st.booleans(), data=st.data())
    def remove(self, section, option, whole, save, kw, data):
        section, option = self.held_names(data, section, option)
        if whole:
            self.check("_remove_section", section, save=save, by_keyword=kw)
        else:
            self.check("_remove_option", section, option, save=save, by_keyword=kw)

    @rule(names=st.sampled_from([["_read"], ["_save"], ["_save", "_read"], ["_set_path"]]))
    def load_and_save(self, names):
        for name in names:
            self.check(name)

    @rule(file=FILES)
    def another_program_writes(self, file):
        lines, bom, crlf, undecodable = file
        data = ("\r\n" if crlf else "\n").join(lines).encode()
        data = (b"\xef\xbb\xbf" if bom else b"") + data + (b"\n\xff" if undecodable else b"")
        for path in self.paths:
            with open(path, "wb") as f:
                f.write(data)

    @rule()
    def another_program_deletes(self):
        for path in self.paths:
            if os.path.isfile(path):
                os.remove(path)


TestStoreAgainstText = StoreAgainstText.TestCase
TestStoreAgainstText.settings = settings(
    max_examples=max(500, settings.default.max_examples), stateful_step_count=20, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                           HealthCheck.data_too_large])
