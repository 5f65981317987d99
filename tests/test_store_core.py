"""Construction, the path, reading and saving of the store."""
import builtins
import configparser
import json
import os
import subprocess
import sys
import types

import pytest

import ini_main
from conftest import BOM, at, entries
from doubles import Inside, PassesOver, Unreferenceable

Store = ini_main.TovrelIniMain
TEXT = "[a]\nk = v\n\n[b]\nx = 1\n\n"
CONTENT = {"a": {"k": "v"}, "b": {"x": "1"}}
LOAD_ENTRIES, SAVE_ENTRY = at("__init__:2 _set_path:2 _read:1"), at("_save:1")


def test_missing_file_gives_empty_store_and_first_save_creates_it(store_class, ini_path):
    store = store_class(str(ini_path))
    assert store._sections() == [] and not ini_path.exists()
    store._set("s", "k", "v")
    assert ini_path.read_bytes() == BOM + b"[s]\nk = v\n\n"


@pytest.mark.parametrize("mark", [b"", BOM], ids=["plain", "bom"])
def test_mark_is_skipped_on_read_and_written_by_every_save(store_class, ini_path, mark):
    ini_path.write_bytes(mark + TEXT.encode())
    store = store_class(str(ini_path))
    assert store._get_all() == CONTENT
    assert store._save() is None
    assert ini_path.read_bytes() == BOM + TEXT.encode()
    assert store._read() is None and store._get_all() == CONTENT


@pytest.mark.parametrize("data, error", [
    (b"k = v\n[a]\n", configparser.MissingSectionHeaderError),
    (b"[a]\nk = \xff\n", UnicodeDecodeError),
], ids=["unparsable", "not-utf8"])
def test_bad_file_content_raises_from_the_read(ini_path, store_class, data, error):
    ini_path.write_bytes(data)
    with pytest.raises(error) as exc:
        store_class(str(ini_path))
    assert entries(exc.value) == LOAD_ENTRIES
    ini_path.write_text(TEXT)
    store = store_class(str(ini_path))
    ini_path.write_bytes(data)
    with pytest.raises(error) as exc:
        store._read()
    assert entries(exc.value) == LOAD_ENTRIES[-1:]


@pytest.mark.parametrize("path, error", [
    (5, TypeError), (None, TypeError), ("a\0b", ValueError), (b"a\0b", ValueError),
], ids=["int", "none", "nul-str", "nul-bytes"])
def test_path_the_parser_refuses_fails_construction(store_class, path, error):
    with pytest.raises(error) as exc:
        store_class(path)
    assert entries(exc.value) == LOAD_ENTRIES


@pytest.mark.parametrize("kind", [str, os.fsencode, lambda p: p], ids=["str", "bytes", "pathlike"])
def test_path_is_kept_as_passed_and_used_for_both_directions(store_class, ini_path, kind):
    ini_path.write_text(TEXT)
    path = kind(ini_path)
    store = store_class(path)
    assert store._path is path and store._get_all() == CONTENT
    store._set("a", "k", "new")
    assert store._path is path and store_class(str(ini_path))._get("a", "k") == "new"


def test_iterable_path_loads_every_file_but_cannot_be_opened_for_saving(tmp_path, store_class):
    first, second = tmp_path / "1.ini", tmp_path / "2.ini"
    first.write_text("[a]\nk = v\n")
    second.write_text("[b]\nx = 1\n")
    store = store_class([str(first), str(second)])
    assert store._get_all() == CONTENT
    assert store_class([str(tmp_path / "none.ini")])._get_all() == {}  # no file there, and no error
    with pytest.raises(TypeError) as exc:
        store._save()
    assert store._get_all() == CONTENT
    assert entries(exc.value) == SAVE_ENTRY


def test_path_keyword(store_class, ini_path):
    ini_path.write_text(TEXT)
    assert store_class(path=str(ini_path))._get_all() == CONTENT
    with pytest.raises(TypeError) as exc:
        store_class()
    assert entries(exc.value) == (at("__init__:0") if store_class is Store else [])  # Python binds before the frame


@pytest.mark.parametrize("case", ["directory", "under-a-file", "read-only"])
def test_unwritable_path_loads_and_first_save_raises_the_open_error(tmp_path, store_class, case):
    path = tmp_path
    if case == "under-a-file":
        (tmp_path / "file").write_text(TEXT)
        path = tmp_path / "file" / "settings.ini"
    if case == "read-only":
        if os.geteuid() == 0:
            pytest.skip("root ignores file permissions")
        path = tmp_path / "ro.ini"
        path.write_text(TEXT)
        path.chmod(0o444)
    store = store_class(str(path))
    before = store._get_all()
    store._set("s", "k", "v", save=False)
    with pytest.raises(OSError) as exc:
        store._save()
    assert entries(exc.value) == SAVE_ENTRY
    assert store._get_all() == {**before, "s": {"k": "v"}}
    if case == "read-only":  # never opened for writing: unchanged, and no note says it may be cut
        assert path.read_text() == TEXT and not getattr(exc.value, "__notes__", None)


def test_init_again_rebinds_to_the_other_file(make_store, tmp_path):
    store = make_store(TEXT)
    other = tmp_path / "other.ini"
    other.write_text("[c]\ny = 2\n")
    store._set("a", "k", "unsaved", save=False)
    old_parser = store._config
    assert store.__init__(other) is None
    assert store._path is other and store._config is not old_parser
    assert store._get_all() == {"c": {"y": "2"}}
    assert (tmp_path / "settings.ini").read_text() == TEXT


def test_set_path_makes_a_fresh_parser_and_loses_unsaved_changes(make_store):
    store = make_store(TEXT)
    path, old_parser = store._path, store._config
    store._set("a", "k", "unsaved", save=False)
    store._set_section("c", save=False)
    assert store._set_path() is None
    assert store._config is not old_parser and store._path is path
    assert store._get_all() == CONTENT


def test_read_lays_the_file_over_what_the_parser_holds(make_store):
    store = make_store(TEXT)
    store._read()
    store._read()
    assert store._get_all() == CONTENT
    store._remove_section("a", save=False)
    store._set("b", "x", "unsaved", save=False)
    store._set_section("c", save=False)
    store._read()
    assert store._get_all() == {**CONTENT, "c": {}}


def test_direct_save_writes_the_file_and_empties_the_store(store_class, make_store, tmp_path):
    store = make_store(TEXT)
    store._set("c", "y", "2", save=False)
    store._save()
    assert store._get_all() == {} and store._sections() == []
    expected = {**CONTENT, "c": {"y": "2"}}
    assert store_class(str(tmp_path / "settings.ini"))._get_all() == expected
    store._read()
    assert store._get_all() == expected


@pytest.fixture
def module_global(store_class):
    namespace = store_class._read.__globals__
    saved = namespace["configparser"]
    try:
        yield namespace
    finally:
        namespace["configparser"] = saved
        vars(builtins).pop("configparser", None)


@pytest.mark.parametrize("replacement, error, text", [
    (None, NameError, "name 'configparser' is not defined"),
    (types.SimpleNamespace(), AttributeError, "ConfigParser"),
], ids=["deleted", "no-class"])
def test_parser_class_is_looked_up_at_every_call(make_store, module_global, replacement, error, text):
    store = make_store(TEXT)
    parser = store._config
    if replacement is None:
        del module_global["configparser"]
    else:
        module_global["configparser"] = replacement
    with pytest.raises(error, match=text) as exc:
        store._set_path()
    assert entries(exc.value) == at("_set_path:1")
    assert store._config is parser
    with pytest.raises(error, match=text) as exc:
        make_store(TEXT)
    assert entries(exc.value) == at("__init__:2 _set_path:1")


class ClaimsTheFile(configparser.ConfigParser):
    """Says it read the file, which is not there, and counts its reads."""
    reads = 0

    def read(self, filenames, encoding=None):
        ClaimsTheFile.reads += 1
        return [filenames]


def test_read_calls_the_parsers_read_once_whatever_it_answers(ini_path, monkeypatch, store_class):
    monkeypatch.setitem(store_class._read.__globals__, "configparser", types.SimpleNamespace(ConfigParser=ClaimsTheFile))
    monkeypatch.setattr(ClaimsTheFile, "reads", 0)
    store = store_class(str(ini_path))
    store._read()
    assert ClaimsTheFile.reads == 2 and not ini_path.exists()


def test_parser_class_comes_from_the_global_then_the_builtins(make_store, module_global):
    class Mine(configparser.ConfigParser):
        pass
    module_global["configparser"] = types.SimpleNamespace(ConfigParser=Mine)
    assert type(make_store(TEXT)._config) is Mine
    del module_global["configparser"]
    builtins.configparser = types.SimpleNamespace(ConfigParser=Mine)
    store = make_store(TEXT)
    assert type(store._config) is Mine and store._get_all() == CONTENT


SAVE_INSIDE = ("cannot save {!r} inside a save or read of it on the same thread (from a signal handler, or from "
               "the parser's own methods)")


# A save or read of the file from inside a save or read of it on the same thread (the
# parser's own methods here): refused before anything is opened, but a read inside a read.
# A first save of another file, inside a read that found no file in the same folder, goes
# on under the folder's lock that its thread holds.
@pytest.mark.parametrize("outer, inner, message, text, other", [
    ("_save", "_save", SAVE_INSIDE, TEXT, None), ("_read", "_save", SAVE_INSIDE, TEXT, None),
    ("_read", "_read", None, TEXT, None),
    ("_save", "_read", SAVE_INSIDE.replace("save", "read", 1).replace("a save or read", "a save"), TEXT, None),
    ("_read", "_save", None, None, "sibling.ini"),
])
def test_nested_save_or_read_on_one_thread(make_store, outer, inner, message, text, other):
    store = make_store(text)
    other, seen = type(store)(os.path.join(os.path.dirname(store._path), other) if other else store._path), []
    store._config = Inside()

    def then():
        try:
            seen.append(getattr(other, inner)())
        except RuntimeError as exc:
            seen.append(str(exc))
    store._config.then = then
    getattr(store, outer)()
    assert seen == [message and message.format(store._path)]


class Stop(BaseException):
    """Not an Exception: nothing on the way may swallow it."""


class FlakyPath:
    """A path-like object that counts its conversions and can refuse one."""
    def __init__(self, path, fail=False):
        self.path, self.fail, self.calls = path, fail, 0

    def __fspath__(self):
        self.calls += 1
        if self.fail:
            raise Stop("no path today")
        return self.path


def no_parser(store):
    del store._config


@pytest.mark.parametrize("spoil, error, text", [
    (no_parser, AttributeError, "_config"),
    (lambda store: setattr(store, "_config", None), AttributeError, "write"),
    (lambda store: setattr(store, "_config", types.SimpleNamespace(clear=dict)), AttributeError, "write"),
    (lambda store: setattr(store, "_path", FlakyPath(store._path, fail=True)), Stop, "no path today"),
], ids=["no-parser", "parser-none", "parser-cannot-write", "path-conversion-raises"])
def test_save_that_cannot_write_leaves_the_file_untouched(make_store, tmp_path, spoil, error, text):
    store = make_store(TEXT)
    spoil(store)
    with pytest.raises(error, match=text) as exc:
        store._save()
    assert entries(exc.value) == SAVE_ENTRY
    assert (tmp_path / "settings.ini").read_text() == TEXT


def test_save_converts_the_path_once(make_store):
    store = make_store(TEXT)
    store._path = path = FlakyPath(store._path)
    store._save()
    assert path.calls == 1


def test_read_looks_up_the_parsers_read_before_the_path(make_store):
    store = make_store(TEXT)
    store._config, store._path = types.SimpleNamespace(), FlakyPath(store._path, fail=True)
    with pytest.raises(AttributeError, match="read") as exc:
        store._read()
    assert entries(exc.value) == at("_read:1") and store._path.calls == 0


class ReadStopsHalfway(configparser.ConfigParser):
    def _read(self, fp, fpname):
        super()._read(fp, fpname)
        del self._sections["b"]  # what an interrupt part-way through the read leaves
        raise Stop("interrupted")


class ReplacedWhileWriting(configparser.ConfigParser):
    """Writes, and meanwhile the store gets another parser with content of its own."""
    def write(self, fp, space_around_delimiters=True):
        super().write(fp, space_around_delimiters)
        self.store._config = configparser.ConfigParser()
        self.store._config.read_dict({"z": {"k": "v"}})


EMPTIED = ("the store was emptied by a save and not read back since (a save-and-reload in another thread "
           "does this too); saving now would overwrite the file with what is left: call _read() first")
UNREAD = ("the store does not hold its file: its last read did not complete or could not read the file; "
          "saving now would overwrite the file with what the store holds: call _read() first")


def empty_by_direct_save(store):
    store._save()


def empty_by_interrupted_reload(store):
    store._config = ReadStopsHalfway()
    store._config.read_dict(CONTENT)
    with pytest.raises(Stop):
        store._set("a", "k", "changed")
    assert store._sections() == ["a"]


def set_path_with(parser_class):
    def empty(store):
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(configparser, "ConfigParser", parser_class)
            try:
                store._set_path()
            except Stop:
                pass
        assert store._sections() == (["a"] if parser_class is ReadStopsHalfway else [])
    return empty


def empty_unreferenceable_then_sweep(store):
    store._config = Unreferenceable(CONTENT)
    store._save()
    for _ in range(300):  # marks of parsers dropped since, enough to be swept several times
        other = type(store)(store._path + ".other")
        other._config = Unreferenceable()
        other._save()


def empty_by_replacing_during_write(store):
    store._config = ReplacedWhileWriting()
    store._config.store = store
    store._read()
    store._save()
    assert type(store._config) is configparser.ConfigParser and store._sections() == []


@pytest.mark.parametrize("empty, saved, message", [
    (empty_by_direct_save, "v", EMPTIED),
    (empty_by_interrupted_reload, "changed", EMPTIED),
    pytest.param(set_path_with(ReadStopsHalfway), "v", UNREAD, id="interrupted-set-path"),
    pytest.param(set_path_with(PassesOver), "v", UNREAD, id="set-path-unreadable-file"),
    (empty_unreferenceable_then_sweep, "v", EMPTIED),
    (empty_by_replacing_during_write, "v", EMPTIED),
])
@pytest.mark.parametrize("lift", ["_read", "_set_path"])
def test_emptied_store_refuses_to_save_until_read_back(store_class, make_store, tmp_path, empty, saved, message, lift):
    store = make_store(TEXT)
    empty(store)
    on_disk = (tmp_path / "settings.ini").read_bytes()
    for change in (lambda: store._set("b", "x", "2"), store._save, lambda: store._remove_section("zz")):
        with pytest.raises(RuntimeError) as exc:
            change()
        assert str(exc.value) == message
        assert entries(exc.value)[-1:] == SAVE_ENTRY
        assert (tmp_path / "settings.ini").read_bytes() == on_disk
    (tmp_path / "settings.ini").unlink()  # refused, a save makes no file either
    pytest.raises(RuntimeError, store._save)
    assert not (tmp_path / "settings.ini").exists()
    (tmp_path / "settings.ini").write_bytes(on_disk)
    if isinstance(store._config, configparser.ConfigParser):
        store._config.__class__ = configparser.ConfigParser
    getattr(store, lift)()
    store._set("b", "x", "2")
    assert store_class(str(tmp_path / "settings.ini"))._get_all() == {"a": {"k": saved}, "b": {"x": "2"}}


CHILD_PRELUDE = """
import errno, json, sys, traceback, ini_main
def failure(call):
    try:
        call()
    except OSError as e:
        tb = traceback.extract_tb(e.__traceback__)
        return [errno.errorcode[e.errno], [[f.name.split(".")[-1], f.lineno] for f in tb if f.filename == "ini_main.py"]]
store = ini_main.TovrelIniMain(sys.argv[1])
"""


def run_child(code, path):
    proc = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + code, str(path)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_error_of_the_final_flush_reaches_the_caller_and_keeps_the_content(ini_path):
    failed, kept = run_child(
        "store._set('s', 'k', 'v', save=False)\n"
        "store._path = '/dev/full'\n"
        "print(json.dumps([failure(store._save), store._get_all()]))\n", ini_path)
    assert failed == ["ENOSPC", [list(e) for e in SAVE_ENTRY]]
    assert kept == {"s": {"k": "v"}}


def test_save_over_the_file_size_limit_fails_and_can_be_repeated(ini_path):
    ini_path.write_bytes(b"[old]\nk = 1\n")
    value = "x" * 3000  # over the limit, but small enough to stay buffered until the close
    failed, kept, on_disk, saved, final = run_child(
        "import resource, signal\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        f"store._set('s', 'k', {value!r}, save=False)\n"
        "hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (1024, hard))\n"
        "failed, kept = failure(store._save), store._get_all()\n"
        "on_disk = open(sys.argv[1], 'rb').read().decode()\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))\n"
        "saved = store._save()\n"
        "store._read()\n"
        "print(json.dumps([failed, kept, on_disk, saved, store._get_all()]))\n", ini_path)
    assert failed == ["EFBIG", [list(e) for e in SAVE_ENTRY]]
    assert kept == final == {"old": {"k": "1"}, "s": {"k": value}} and saved is None
    assert on_disk == "[old]\nk = 1\n"  # the failed save put the former bytes back
    assert ini_path.read_bytes() == BOM + f"[old]\nk = 1\n\n[s]\nk = {value}\n\n".encode()


class WriterFailing(configparser.ConfigParser):
    """Writes part of its content, calls `meanwhile` when set, then fails."""
    meanwhile = None

    def write(self, fp, space_around_delimiters=True):
        fp.write("[half")
        fp.flush()
        if self.meanwhile:
            self.meanwhile()
        raise OSError("writer failed")


LARGE = BOM + b"".join(b"[s%d]\nk = v\n" % i for i in range(5000))


def replace_file(path):
    path.with_name("new.ini").write_bytes(b"[new]\n")
    os.replace(path.with_name("new.ini"), path)


# The path may be a chain of links, settings.ini -> hop.ini -> /tmp/.../target.ini: the
# relative one is resolved from its own folder, not from the working directory.  A file
# put in place of the one a failed first save created is another's: it stays.  An empty
# file is the start of whatever the failed save wrote: it is cut back to nothing.
@pytest.mark.parametrize("former, linked, meanwhile", [
    (b"[old]\nk = 1\n", False, None), (LARGE, False, None), (b"", False, None), (None, False, None),
    (b"[old]\nk = 1\n", True, None), (None, True, None), (b"[new]\n", False, replace_file),
], ids=["small", "large", "empty", "none", "through-links", "dangling-links", "none-then-replaced"])
def test_write_failing_part_way_leaves_the_former_content(ini_path, store_class, former, linked, meanwhile):
    target = ini_path.with_name("target.ini") if linked else ini_path
    if linked:
        ini_path.symlink_to("hop.ini")
        ini_path.with_name("hop.ini").symlink_to(target)
    if former is not None and not meanwhile:
        target.write_bytes(former)
    store = store_class(str(ini_path))
    store._config = WriterFailing()
    store._config.meanwhile = meanwhile and (lambda: meanwhile(ini_path))
    store._config.add_section("new")
    with pytest.raises(OSError, match="writer failed") as exc:
        store._save()
    assert entries(exc.value) == SAVE_ENTRY and not getattr(exc.value, "__notes__", None)
    if former is None:  # the file the failed save created is gone again, not left cut short
        assert not os.path.lexists(target)
    else:
        assert target.read_bytes() == former
    assert ini_path.is_symlink() == linked  # the links stay links
    assert store._sections() == ["new"]  # not emptied

