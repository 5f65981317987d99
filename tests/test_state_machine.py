"""Differential test: random series of calls on a store and on a plain-Python model that
follows the same rules, each bound to its own file; after every step both agree on the
result or the exception (type, message and traceback entries), on what the parser holds
and on the bytes of the file."""
import configparser
import contextlib
import os
import re
import shutil
import stat
import tempfile
from types import MappingProxyType

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import ini_main
from conftest import entries
from doubles import BadFlag, Broken, Items, Unprintable
from test_store_core import EMPTIED, UNREAD

OMIT = object()
FAST_DIR = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None  # memory-backed: many small rewrites


@contextlib.contextmanager
def entry_at(name, line):
    """Records (method, line) on an exception leaving the statement, innermost first."""
    try:
        yield
    except Exception as exc:
        exc.__dict__.setdefault("model_entries", []).append(("ini_main.TovrelIniMain." + name, line))
        raise


def too_many():
    return ValueError("too many values to unpack (expected 2)")


def need_more(n):
    return ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack")


def unpack(item):
    if isinstance(item, tuple):
        n = tuple.__len__(item)
        if n == 2:
            return tuple.__getitem__(item, 0), tuple.__getitem__(item, 1)
        raise too_many() if n > 2 else need_more(n)
    it, got = iter(item), []
    for _ in range(2):
        value = next(it, OMIT)
        if value is OMIT:
            raise need_more(len(got))
        got.append(value)
    if next(it, OMIT) is not OMIT:
        raise too_many()
    return tuple(got)


def walk(mapping):
    """The pairs of an option or section dictionary, in the order the store takes them."""
    if mapping is None:
        raise AttributeError("'NoneType' object has no attribute 'items'")
    if type(mapping) is dict:
        return iter(dict.items(mapping))
    items = mapping.items()
    if type(items) in (list, tuple):
        return (unpack(items[i]) for i in range(len(items)))
    return (unpack(item) for item in iter(items))


def refused(what, text, flaw, option=None):
    """The store's refusal of a text the INI file cannot carry; shown as the plain str it holds."""
    shown = repr(str.__str__(text))
    if isinstance(option, str):
        shown += f" of option {str.__str__(option)!r}"
    return ValueError(f"cannot store {what} {shown}: the INI file cannot carry {flaw}")


SURROGATE = "a lone surrogate (which UTF-8 cannot encode) in "


def check_section(name):
    if not isinstance(name, str):
        return
    found = re.search("[\r\n\ud800-\udfff]", name)
    if not name:
        raise refused("section name", name, "an empty section name")
    if found:
        flaw = "a line break in a section name" if found[0] in "\r\n" else SURROGATE + "a section name"
        raise refused("section name", name, flaw)


def check_option(name):
    if not isinstance(name, str):
        return
    found = re.search("[=:\r\n\ud800-\udfff]", name)
    if found:
        c = found[0]
        flaw = (f"{c!r} in an option name" if c in "=:" else "a line break in an option name" if c in "\r\n"
                else SURROGATE + "an option name")
    elif not name:
        flaw = "an empty option name"
    elif name[0] in "#;":
        flaw = "an option name that starts with '#' or ';', which reads as a comment"
    elif name[0] == "[":
        flaw = "an option name that starts with '[', which can read as a section header"
    elif name[0].isspace() or name[-1].isspace():
        flaw = "whitespace at either end of an option name"
    else:
        return
    raise refused("option name", name, flaw)


def carried(text, option):
    """The text of a value, when the INI file carries it."""
    found = re.search("\r|[\ud800-\udfff]|\n[^\\S\r]*[#;]", text)
    if found:
        c = found[0][0]
        flaw = ("a carriage return in a value" if c == "\r" else
                "a value line after the first that starts with '#' or ';', which reads as a comment" if c == "\n"
                else SURROGATE + "a value")
        raise refused("value", text, flaw, option)
    return text


def former_content(path):
    try:
        with open(path, "rb") as f:
            return f.read() if stat.S_ISREG(os.fstat(f.fileno()).st_mode) else None
    except OSError:
        return None


class Model:
    def __init__(self, path):
        self._path = path
        with entry_at("__init__", 23):
            self._set_path()

    def _set_path(self):
        with entry_at("_set_path", 51):
            self._config = configparser.ConfigParser()
            self._marked = self._config, UNREAD
        with entry_at("_set_path", 52):
            self._read()

    def _read(self):
        with entry_at("_read", 134):
            config = self._config
            config.read(self._path, encoding="utf-8-sig")
            if self._marked[0] is config:  # a read that completes makes it whole again
                self._marked = None, None

    _marked = None, None  # the parser that holds less than its file, and the refusal of its save

    def _save(self):
        with entry_at("_save", 137):
            config = self._config
            write = config.write
            if self._marked[0] is config:
                raise RuntimeError(self._marked[1])
            former, missing = former_content(self._path), not os.path.lexists(self._path)
            try:
                file = open(self._path, "w+", encoding="utf-8-sig")
                try:
                    write(file)
                finally:
                    file.close()
            except BaseException:
                if former is not None:  # a failed write gives the file its former bytes back
                    with open(self._path, "wb") as f:
                        f.write(former)
                elif missing and os.path.lexists(self._path):  # and a file it created is removed
                    os.remove(self._path)
                raise
            self._marked = config, EMPTIED
        with entry_at("_save", 138):
            self._marked = self._config, EMPTIED
            self._config.clear()

    def _save_and_reload(self, name, line, save):
        with entry_at(name, line):
            flag = bool(save)
        if flag:
            with entry_at(name, line + 1):
                self._save()
            with entry_at(name, line + 2):
                self._read()

    def _get(self, section, option):
        with entry_at("_get", 55):
            return self._config.get(section, option)

    def _get_option(self, section):
        result = {}
        with entry_at("_get_option", 60):
            pairs = iter(self._config.items(section))
        while True:
            with entry_at("_get_option", 60):
                item = next(pairs, OMIT)
                if item is OMIT:
                    return result
                option, value = unpack(item)
            with entry_at("_get_option", 61):
                result.setdefault(option, value)

    def _get_all(self):
        result = {}
        with entry_at("_get_all", 66):
            names = iter(self._sections())
        while True:
            with entry_at("_get_all", 66):
                section = next(names, OMIT)
                if section is OMIT:
                    return result
            with entry_at("_get_all", 67):
                result.setdefault(section, self._get_option(section))

    def _sections(self):
        with entry_at("_sections", 104):
            return self._config.sections()

    def _options(self, section):
        with entry_at("_options", 108):
            return self._config.options(section)

    def _has_section(self, section):
        with entry_at("_has_section", 126):
            return self._config.has_section(section)

    def _has_option(self, section, option):
        with entry_at("_has_option", 130):
            return self._config.has_option(section, option)

    def _set(self, section, option, value, save=True):
        with entry_at("_set", 71):
            check_section(section)
            check_option(option)
            self._set_section(section, save)
        with entry_at("_set", 72):
            config = self._config
            config.set(section, option, carried(value if type(value) is str else str(value), option))
        self._save_and_reload("_set", 73, save)
        return True

    def _set_section(self, section, save=True):
        with entry_at("_set_section", 79):
            if self._has_section(section):
                return True
        with entry_at("_set_section", 80):
            check_section(section)
            self._config.add_section(section)
        self._save_and_reload("_set_section", 81, save)
        return True

    def _set_option(self, section, option_dict, save=True):
        with entry_at("_set_option", 87):
            self._set_section(section, save)
        with entry_at("_set_option", 88):
            pairs = walk(option_dict)
        while True:
            with entry_at("_set_option", 88):
                pair = next(pairs, OMIT)
            if pair is OMIT:
                break
            with entry_at("_set_option", 89):
                self._set(section, pair[0], pair[1], save=False)
        self._save_and_reload("_set_option", 90, save)
        return True

    def _set_all(self, section_dict, save=True):
        with entry_at("_set_all", 96):
            pairs = walk(section_dict)
        while True:
            with entry_at("_set_all", 96):
                pair = next(pairs, OMIT)
            if pair is OMIT:
                break
            with entry_at("_set_all", 97):
                self._set_option(pair[0], pair[1], save=False)
        self._save_and_reload("_set_all", 98, save)
        return True

    def _remove_section(self, section, save=True):
        with entry_at("_remove_section", 112):
            value = self._config.remove_section(section)
        self._save_and_reload("_remove_section", 113, save)
        return value

    def _remove_option(self, section, options, save=True):
        with entry_at("_remove_option", 119):
            value = self._config.remove_option(section, options)
        self._save_and_reload("_remove_option", 120, save)
        return value


# ---- odd arguments -------------------------------------------------------------------

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
        found = exc.__dict__.get("model_entries")
        where = entries(exc) if found is None else found[::-1]
        return "raised", type(exc), str(exc).replace(path, "<file>"), where


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def held(config):
    sections = [(s, list(config.items(s, raw=True))) for s in config.sections()]
    return list(config.defaults().items()), sections


class StoreAgainstModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.folder = tempfile.mkdtemp(prefix="ini-machine-", dir=FAST_DIR)
        self.paths = [os.path.join(self.folder, side, "settings.ini") for side in ("store", "model")]
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
        self.store, self.model = ini_main.TovrelIniMain(self.paths[0]), Model(self.paths[1])

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
        want = outcome(getattr(self.model, name), args, kwargs, self.paths[1])
        assert len(got) == len(want) and got[0] == want[0], (got, want)
        if got[0] == "returned":
            assert same(got[1], want[1]), (got, want)
        else:
            assert got[1:] == want[1:], (got, want)

    @invariant()
    def parsers_and_files_agree(self):
        assert held(self.store._config) == held(self.model._config)
        contents = [open(p, "rb").read() if os.path.isfile(p) else None for p in self.paths]
        assert contents[0] == contents[1]

    def held_names(self, data, section, option):
        """Half of the time, names that the parser holds (when it holds any) in place of drawn ones."""
        config = self.model._config
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


TestStoreAgainstModel = StoreAgainstModel.TestCase
TestStoreAgainstModel.settings = settings(
    max_examples=max(500, settings.default.max_examples), stateful_step_count=20, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                           HealthCheck.data_too_large])
