"""Faults of the file system while saving, two stores on one file, and threads sharing stores:
the error reaches the caller, the parser keeps every change, and a retry writes it all."""
import configparser
import errno
import io
import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

from conftest import BOM, LINES, QUALIFIER, at, entries
from doubles import Broken, HalfWriter

START = "[a]\nx = 1\n\n"


def held(config):
    return dict(config.defaults()), {s: dict(config.items(s, raw=True)) for s in config.sections()}


def file_holds(path):
    parser = configparser.ConfigParser()
    parser.read(path, encoding="utf-8-sig")
    return held(parser)


# Each fault turns the store's saving path bad and returns how to undo it.
def to_directory(store, path):
    os.remove(path)
    os.mkdir(path)
    return lambda: os.rmdir(path)


def to_missing_folder(store, path):
    store._path = missing = os.path.join(os.path.dirname(path), "gone", "settings.ini")
    return lambda: os.mkdir(os.path.dirname(missing))


def to_nul_byte(store, path):
    store._path = path + "\0"
    return lambda: setattr(store, "_path", path)


def to_half_writer(store, path):
    store._config = HalfWriter()
    store._read()
    store._config.failing = True
    return lambda: setattr(store._config, "failing", False)


def to_other_folder_mid_write(store, path):
    # A relative path, and the working directory moved to a folder with a file of
    # that name while the parser writes: the restore is for the file the save opened.
    folder, name = os.path.split(path)
    decoy = os.path.join(folder, "elsewhere", name)
    os.mkdir(os.path.dirname(decoy))
    with open(decoy, "w") as file:
        file.write("[decoy]\n")
    os.chdir(folder)
    store._path = name
    undo = to_half_writer(store, path)
    store._config.meanwhile = lambda: os.chdir(os.path.dirname(decoy))

    def undo_and_check_the_decoy():
        with open(decoy) as file:
            assert file.read() == "[decoy]\n"
        os.chdir(folder)
        undo()
    return undo_and_check_the_decoy


FAULTS = [pytest.param(to_directory, IsADirectoryError, id="directory"),
          pytest.param(to_missing_folder, FileNotFoundError, id="missing-folder"),
          pytest.param(to_nul_byte, ValueError, id="nul-byte"),
          pytest.param(to_half_writer, Broken, id="mid-write"),
          pytest.param(to_other_folder_mid_write, Broken, id="working-directory-moved-mid-write")]


@pytest.fixture
def keep_working_directory(monkeypatch):
    """The working directory comes back after the test, whatever a fault did with it."""
    monkeypatch.chdir(os.getcwd())
# call, entries of the failed save, what the parser holds afterwards, what a retry leaves
def call(method, args, where, after, final=None, id=None):
    return pytest.param(lambda s: getattr(s, method)(*args), at(where), after, final or after, id=id)


CALLS = [
    call("_set", ("a", "y", "2"), "_set:4 _save:1", {"a": {"x": "1", "y": "2"}}, id="set"),
    call("_set", ("b", "y", "2"), "_set:1 _set_section:4 _save:1",
         {"a": {"x": "1"}, "b": {}}, {"a": {"x": "1"}, "b": {"y": "2"}}, id="set-new-section"),
    call("_set_option", ("a", {"y": "2", "z": 3}), "_set_option:5 _save:1",
         {"a": {"x": "1", "y": "2", "z": "3"}}, id="set_option"),
    call("_set_all", ({"b": {"y": "2"}, "c": {}},), "_set_all:4 _save:1",
         {"a": {"x": "1"}, "b": {"y": "2"}, "c": {}}, id="set_all"),
    call("_remove_option", ("a", "x"), "_remove_option:3 _save:1", {"a": {}}, id="remove_option"),
    call("_remove_section", ("a",), "_remove_section:3 _save:1", {}, id="remove_section"),
]


@pytest.mark.usefixtures("keep_working_directory")
@pytest.mark.parametrize("run, where, after, final", CALLS)
@pytest.mark.parametrize("fault, error", FAULTS)
def test_failed_save_keeps_changes_and_a_retry_writes_them(make_store, fault, error, run, where, after, final):
    store = make_store(START)
    path = store._path
    undo = fault(store, path)
    with pytest.raises(error) as info:
        run(store)
    assert entries(info.value) == where
    assert held(store._config) == ({}, after)
    # a failed open writes nothing; a failed write gives the file its former bytes back
    assert os.listdir(path) == [] if os.path.isdir(path) else open(path).read() == START
    undo()
    run(store)
    assert file_holds(store._path) == held(store._config) == ({}, final)
    data = open(store._path, "rb").read()
    assert data.startswith(BOM) or data == b""


# A child process meets a full device, or a file-size limit, at the flush of a small file or
# during the write of a large one; then the fault is lifted and the same call is retried.
CHILD = r"""
import configparser, json, os, resource, signal, sys, traceback
import ini_main
from doubles import HalfWriter
path, fault, size = sys.argv[1], sys.argv[2], int(sys.argv[3])

def held(config):
    return {s: dict(config.items(s, raw=True)) for s in config.sections()}

def file_holds():
    parser = configparser.ConfigParser()
    with open(path, encoding="utf-8-sig") as f:
        parser.read_file(f)
    return held(parser)

store = ini_main.TovrelIniMain(path)
store._set("a", "x", "1")
if fault == "full-and-writer":
    store._config = HalfWriter()
    store._read()
    store._config.failing = True
if fault == "size-limit":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, resource.RLIM_INFINITY))
else:
    store._path = "/dev/full"
out = {}
try:
    store._set("a", "y", "v" * size)
except Exception as exc:
    chain, e = [], exc
    while e is not None:
        chain.append([type(e).__name__, getattr(e, "errno", None)])
        e = e.__context__
    out["chain"] = chain
    out["entries"] = [[f.name, f.lineno] for f in traceback.extract_tb(exc.__traceback__)
                      if f.filename == "ini_main.py"]
out["held"], out["kept"] = held(store._config), file_holds()
if fault == "size-limit":
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
else:
    store._path = path
    if fault == "full-and-writer":
        store._config.failing = False
store._set("a", "y", "v" * size)
out["file"] = file_holds()
out["bom"] = open(path, "rb").read(3) == b"\xef\xbb\xbf"
print(json.dumps(out))
"""


@pytest.mark.parametrize("size", [100, 20000], ids=["at-flush", "during-write"])
@pytest.mark.parametrize("fault, errno", [("dev-full", 28), ("size-limit", 27), ("full-and-writer", 28)])
def test_flush_faults_reach_the_caller(tmp_path, fault, errno, size):
    if fault != "size-limit" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    child = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "settings.ini"), fault, str(size)],
                           capture_output=True, text=True, timeout=60,
                           env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1", "PYTHONPATH": os.path.dirname(__file__)})
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)
    assert out["chain"][0] == ["OSError", errno]
    if fault == "full-and-writer":
        assert ["Broken", None] in out["chain"]
    assert out["entries"] == [[QUALIFIER + name, line] for name, line in at("_set:4 _save:1")]
    assert out["kept"] == {"a": {"x": "1"}}
    content = {"a": {"x": "1", "y": "v" * size}}
    assert out["held"] == out["file"] == content and out["bom"]


def test_two_stores_on_one_file_overwrite_each_other(make_store):
    first = make_store(START)
    second = type(first)(first._path)
    first._set("a", "y", "2")
    second._set("b", "z", "3")
    assert file_holds(first._path) == held(second._config) == ({}, {"a": {"x": "1"}, "b": {"z": "3"}})
    assert held(first._config) == ({}, {"a": {"x": "1", "y": "2"}})
    first._remove_option("a", "x")
    assert file_holds(first._path) == ({}, {"a": {"y": "2"}})
    second._read()
    assert held(second._config) == ({}, {"a": {"x": "1", "y": "2"}, "b": {"z": "3"}})


def test_a_save_that_waited_on_a_failed_first_save_locks_the_file_anew(ini_path, store_class):
    # The first save creates the file and fails while a second store waits for it: the
    # file it created goes, and the second save locks and restores the file that its own
    # open makes, not the removed one; when it fails too, no file is left, not a cut one.
    first, second = [store_class(str(ini_path)) for _ in range(2)]
    first._config, writing, fail, results = HalfWriter(), threading.Event(), threading.Event(), []
    first._config.failing, first._config.meanwhile = True, lambda: (writing.set(), fail.wait())
    second._config = HalfWriter()
    second._config.failing = True

    def record(call):
        try:
            results.append(call())
        except Exception as exc:
            results.append(type(exc))
    saves = [threading.Thread(target=record, args=(call,))
             for call in (first._save, second._save)]
    saves[0].start()
    writing.wait()
    saves[1].start()
    time.sleep(0.2)  # into its wait
    fail.set()
    for thread in saves:
        thread.join()
    assert results == [Broken, Broken] and not os.path.lexists(ini_path)


# A second process holds both files' locks; the store waits its full time, then gives up.
HOLD_LOCKS = """
import fcntl, sys
files = [open(path, "r+") for path in sys.argv[1:]]
for file in files:
    fcntl.lockf(file, fcntl.LOCK_EX, 2, 1 << 62)   # the stores' two lock bytes
print("held", flush=True)
sys.stdin.read()
"""


def test_save_and_read_give_up_after_the_full_wait(make_store, text_class):
    wait = text_class._read.__globals__["_LOCK_WAIT"]  # the limit, written once in the text
    saving, reading = make_store(START), make_store(START, name="other.ini")
    reading._config.add_section("unsaved")
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCKS, saving._path, reading._path],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    failed = {}

    def attempt(call):
        start = time.monotonic()
        try:
            call()
        except TimeoutError as exc:
            failed[call] = exc, time.monotonic() - start
    calls = [lambda: saving._set("a", "y", "2"), reading._read]
    try:
        assert holder.stdout.readline() == "held\n"
        threads = [threading.Thread(target=attempt, args=(call,)) for call in calls]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        holder.stdin.close()
        holder.wait()
    for call, store, where in zip(calls, (saving, reading), (at("_set:4 _save:1"), at("_read:1"))):
        exc, waited = failed[call]
        assert waited >= wait and exc.errno == errno.ETIMEDOUT and exc.filename == store._path
        assert entries(exc) == where and f"gave up after {wait} seconds: another save or read holds the file" in str(exc)
    assert open(saving._path).read() == START  # untouched; the change stays in the parser
    assert held(saving._config) == ({}, {"a": {"x": "1", "y": "2"}})
    assert held(reading._config) == ({}, {"a": {"x": "1"}, "unsaved": {}})  # as it was
    saving._save()  # the lock is free again
    assert file_holds(saving._path) == ({}, {"a": {"x": "1", "y": "2"}})


def hammer(stores, seed, failures, calls=200):
    pick = random.Random(seed)
    for _ in range(calls):
        store = pick.choice(stores)
        section, option = pick.choice("abc"), pick.choice("xyz")
        save = pick.random() < 0.3
        action = pick.choice([
            lambda: store._set(section, option, pick.randrange(100), save),
            lambda: store._set_option(section, {option: "v", "k": section}, save),
            lambda: store._set_all({section: {option: "w"}, "d": {}}, save),
            lambda: store._remove_option(section, option, save),
            lambda: store._remove_section(section, save),
            lambda: store._get(section, option), lambda: store._get_option(section), store._get_all,
            store._sections, lambda: store._has_option(section, option), store._read,
            lambda: (store._save(), store._read()), store._set_path])
        try:
            action()
        except Exception as exc:
            failures.append((type(exc), entries(exc)))


@pytest.mark.parametrize("count", [1, 2], ids=["one-store", "two-stores-one-file"])
def test_threads_hammering_stores(make_store, count):
    stores = [make_store(START)]
    stores += [type(stores[0])(stores[0]._path) for _ in range(count - 1)]
    failures, interval = [], sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=hammer, args=(stores, seed, failures)) for seed in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads)
    assert all(not issubclass(kind, (SystemError, MemoryError)) and where for kind, where in failures)
    for store in stores:  # what the parser holds may be odd (it is not thread-safe); the file holds just that
        store._read()  # a thread's save may have left the store emptied
        text = io.StringIO()
        store._config.write(text)
        store._save()
        assert open(store._path, "rb").read() == (BOM + text.getvalue().encode() if text.getvalue() else b"")
        written = configparser.ConfigParser()
        written.read_string(text.getvalue())
        assert file_holds(store._path) == held(written)


# Faults that crash, hang or empty the file when they are not handled: each runs in a
# child process with a time limit, and prints what it found for the test to check.
INTERRUPTED_SAVES = r"""
import io, random, signal, sys, traceback
from ini_main import TovrelIniMain
path = sys.argv[1]
store = TovrelIniMain(path)
store._set_all({f"s{i}": {"k": "v" * 1000, "n": str(i)} for i in range(3000)})   # about 3 MB
armed, rng, cut, counts = [False], random.Random(7), set(), {"in-write": 0, "elsewhere": 0}

def alarm(*_):
    if armed[0]:
        armed[0] = False
        raise KeyboardInterrupt
signal.signal(signal.SIGALRM, alarm)
for i in range(16):
    former = open(path, "rb").read()
    store._config.set("s0", "k", f"change {i}")
    text = io.StringIO()
    store._config.write(text)
    armed[0] = True
    signal.setitimer(signal.ITIMER_REAL, rng.uniform(0.0001, 0.03))
    try:
        store._save()
        armed[0] = False
    except KeyboardInterrupt as exc:
        where = [f.lineno for f in traceback.extract_tb(exc.__traceback__) if f.filename == "ini_main.py"]
        counts["in-write" if where == [SAVE_WRITE] else "elsewhere"] += 1
    signal.setitimer(signal.ITIMER_REAL, 0)
    armed[0] = False
    now = open(path, "rb").read()
    if now not in (former, b"\xef\xbb\xbf" + text.getvalue().encode()):
        cut.add(len(now))
    store._set_path()
print(counts["in-write"] > 0, cut or None)
""".replace("SAVE_WRITE", str(LINES["_save"][1]))

CLEARED_METHOD = r"""
import ctypes, pickle, sys
from ini_main import TovrelIniMain
method = TovrelIniMain.__dict__["_get"]
method.note = "x"
# The collector's tp_clear, called as it would be on a cycle through the method.
tp_clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(
    ctypes.c_void_p.from_address(id(type(method)) + 24 * ctypes.sizeof(ctypes.c_void_p)).value)
tp_clear(method)
print(repr(method.__name__), repr(method.__qualname__), method.__doc__, method.__code__.co_name,
      repr(method).startswith("<ini_main function  at"), method.__reduce__() == "")
"""

# A method object that dies (deleted from the class) lets go of everything it held, and
# its weak references die with it.
DYING_METHOD = r"""
import gc, sys, weakref
import ini_main
from ini_main import TovrelIniMain
method = TovrelIniMain.__dict__["_set"]
fresh = lambda: "".join(["fresh ", str(id(object()))])   # a new str, held by nothing else
for attr in ("__name__", "__qualname__", "__doc__", "__module__"):
    setattr(method, attr, fresh())
method.__defaults__, method.__kwdefaults__, method.__annotations__ = (False,), {"save": False}, {"save": bool}
method.note = "x"
held = [getattr(method, attr) for attr in ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__",
                                           "__kwdefaults__", "__annotations__", "__dict__", "__code__")]
held.append(vars(ini_main))
refs = lambda: [sys.getrefcount(obj) for obj in held]
before = refs()
called = []
watcher = weakref.ref(method, called.append)
del TovrelIniMain._set, method
gc.collect()
print([was - now for was, now in zip(before, refs())], watcher() is None, called == [watcher])
"""

FIFO_SAVE = r"""
import os, sys
from ini_main import TovrelIniMain
store = TovrelIniMain(sys.argv[1])
store._config.add_section("a")
os.mkfifo(fifo := sys.argv[1] + ".fifo")
store._path = fifo
try:
    store._save()   # "w+" needs a seekable file: a clear error, and no wait for a writer
except OSError as exc:
    print(type(exc).__name__)
"""

SMALL_STACKS = r"""
import sys, threading
from ini_main import TovrelIniMain

class InC(TovrelIniMain):   # the loop never passes through Python code
    _has_section = TovrelIniMain._set_section

class InPython(TovrelIniMain):
    def _has_section(self, section):
        return self._set_section(section)

def run(cls, seen):
    try:
        cls(sys.argv[1])._set_section("s")
    except RecursionError:
        seen.append(cls.__name__)

seen = []
for size in (256, 512, 1024):
    threading.stack_size(size * 1024)
    for cls in (InC, InPython):
        thread = threading.Thread(target=run, args=(cls, seen))
        thread.start()
        thread.join()
print(seen == ["InC", "InPython"] * 3)
"""

# A program that catches the RecursionError where it is raised still has C stack for
# ordinary work there (a repr 250 lists deep takes about 45 KiB): the guard keeps a reserve.
CAUGHT_DEEP = r"""
import sys, threading
from ini_main import TovrelIniMain

class Catches(TovrelIniMain):
    text = None
    def _has_section(self, section):
        try:
            return self._set_section(section)
        except RecursionError:
            if Catches.text is None:   # the deepest call, the first to catch it
                nested = []
                for _ in range(250):
                    nested = [nested]
                Catches.text = repr(nested)
            raise

def run():
    try:
        Catches(sys.argv[1])._set_section("s")
    except RecursionError:
        pass
threading.stack_size(512 * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(Catches.text.count("["))
"""

# pthread_getattr_np failing on one thread, as it does for the main thread where /proc is
# not mounted: the bounds are asked for once, and the interpreter's count of nested calls
# stops the loop that never passes through Python code.
UNMEASURED_STACK = r"""
import os, subprocess, sys
SHIM = '''
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
static __thread int failing;
int reads;
void fail_reads(void) { failing = 1; }
int pthread_getattr_np(pthread_t thread, pthread_attr_t* attr) {
    if (failing) return ++reads, ENOENT;
    return ((int (*)(pthread_t, pthread_attr_t*))dlsym(RTLD_NEXT, "pthread_getattr_np"))(thread, attr);
}
'''
RUN = '''
import ctypes, sys, threading
from ini_main import TovrelIniMain
shim = ctypes.CDLL(sys.argv[2])
class InC(TovrelIniMain):
    _has_section = TovrelIniMain._set_section
found = []
def run():
    shim.fail_reads()
    store = TovrelIniMain(sys.argv[1])
    for _ in range(50):
        store._sections()
    try:
        InC(sys.argv[1])._set_section("s")
    except RecursionError:
        found.append(ctypes.c_int.in_dll(shim, "reads").value)
threading.stack_size(256 << 20)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(found)
'''
shim = sys.argv[1] + ".so"
subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, "-x", "c", "-"], input=SHIM, text=True, check=True)
preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
sys.exit(subprocess.run([sys.executable, "-c", RUN, sys.argv[1], shim], env={**os.environ, "LD_PRELOAD": preload}).returncode)
"""

FAILED_RESTORE = r"""
import os, resource, signal, sys
from ini_main import TovrelIniMain
store = TovrelIniMain(sys.argv[1])
store._set("a", "x", "v" * 5000)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.RLIM_INFINITY))
try:
    store._set("a", "y", "w" * 5000)
except OSError as exc:
    print(exc.errno, [note == f"ini_main: the former content of {sys.argv[1]!r} could not be put back "
                      f"([Errno 27] {os.strerror(27)}); the file may be cut short" for note in exc.__notes__])
"""

# The same file, read-only, for a user other than root (who would write it anyway):
# the open fails before it truncates, so no note says the file may be cut short.
READ_ONLY_SAVE = r"""
import encodings.utf_8_sig, os, shutil, sys, tempfile
from ini_main import TovrelIniMain
if os.geteuid() == 0:   # (the interpreter's own files may be root's only: all imported first)
    os.setgid(65534)
    os.setuid(65534)
folder = tempfile.mkdtemp()
path = os.path.join(folder, "settings.ini")
with open(path, "w") as file:
    file.write("[a]\nx = 1\n")
os.chmod(path, 0o444)
store = TovrelIniMain(path)
try:
    store._set("a", "y", "2")
except PermissionError as exc:
    print(getattr(exc, "__notes__", None), open(path).read() == "[a]\nx = 1\n", store._get("a", "y"))
shutil.rmtree(folder)
"""

# A signal handler saves the file while a save or a reload of it is under way on the
# same thread, and another thread saves it too: refused, and each outer call completes
# with the whole file.
NESTED_SAVE = r"""
import configparser, signal, sys, threading
from ini_main import TovrelIniMain
path = sys.argv[1]
store = TovrelIniMain(path)
store._set_all({f"s{i}": {"k": "v" * 1000} for i in range(500)})
other, refused, broken, busy = TovrelIniMain(path), [], [], [False]
contender, done = TovrelIniMain(path), threading.Event()   # another thread saving the file meanwhile

def contend():
    while not done.is_set():
        contender._set("contender", "k", "v")
threading.Thread(target=contend, daemon=True).start()

def handler(*_):
    if busy[0]:
        return   # not inside its own save
    busy[0] = True
    try:
        other._set("handler", "k", "v")
    except RuntimeError as exc:
        refused.append(str(exc))
    except configparser.NoSectionError:
        pass   # another thread's save replaced the section just added: the last save wins
    finally:
        busy[0] = False
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
for i in range(20):
    store._set("s0", "k", i)
    if sum(s.startswith("s") for s in store._sections()) != 500:
        broken.append(i)
signal.setitimer(signal.ITIMER_REAL, 0)
done.set()
start = f"cannot save {path!r} inside a save or read of it on the same thread"
print(bool(refused), all(text.startswith(start) for text in refused) or refused[:3], broken,
      len(TovrelIniMain(path)._sections()) > 499)
"""

# A save and a read wait for a file another open file of it holds locked: an interrupt
# ends each wait at once, not when the wait gives up.
INTERRUPTED_WAITS = r"""
import fcntl, signal, struct, sys, time
from ini_main import TovrelIniMain
store = TovrelIniMain(sys.argv[1])
store._set("a", "x", "1")
holder = open(sys.argv[1], "r+")   # its two lock bytes, locked as the stores lock them
fcntl.fcntl(holder, fcntl.F_OFD_SETLK, struct.pack("hhxxxxqqixxxx", fcntl.F_WRLCK, 0, 1 << 62, 2, 0))

def interrupt(*_):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
for call in (lambda: store._set("a", "y", "2"), store._read):
    start = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        call()
    except KeyboardInterrupt:
        print(time.monotonic() - start < 5, end=" ")
print(open(sys.argv[1]).read() == "\ufeff[a]\nx = 1\n\n")
"""

# Two threads' reads wait in the open of a FIFO, which is not locked: a save of another
# file goes on meanwhile, and one writer lets both reads end.
FIFO_READ_BESIDE_A_SAVE = r"""
import faulthandler, os, sys, threading, time
from ini_main import TovrelIniMain
os.mkfifo(fifo := sys.argv[1] + ".fifo")
store, ended = TovrelIniMain(sys.argv[1]), []

def read():
    try:
        TovrelIniMain(fifo)   # the parser's open waits for a writer
        ended.append("read")
    except Exception as exc:
        ended.append(type(exc).__name__)
readers = [threading.Thread(target=read) for _ in range(2)]
for reader in readers:
    reader.start()
time.sleep(0.2)
faulthandler.dump_traceback_later(60, exit=True)   # a save that waits for the FIFO fails the child
store._set("a", "x", "1")
waiting = [reader.is_alive() for reader in readers]
with open(fifo, "w") as file:
    file.write("[b]\n")
for reader in readers:
    reader.join()
print(waiting, ended)
"""

# One thread's save holds the lock while another thread forks.  The child's copy of the
# lock is dropped without unlocking: the parent still holds it, and the child's own
# store waits for the parent's save, not for a thread that the child does not have.
FORK_DURING_A_SAVE = r"""
import configparser, fcntl, os, sys, threading, warnings
from ini_main import TovrelIniMain
warnings.simplefilter("ignore", DeprecationWarning)   # fork() beside a running thread
path = sys.argv[1]
writing, forked = threading.Event(), threading.Event()

class Slow(configparser.ConfigParser):
    def write(self, fp, *args):
        writing.set()
        forked.wait()
        super().write(fp, *args)
store = TovrelIniMain(path)
store._config = Slow()
store._config.add_section("parent")
saver = threading.Thread(target=store._save)
saver.start()
writing.wait()
child_checked, tell_parent = os.pipe()
pid = os.fork()
if pid == 0:
    try:
        fcntl.lockf(open(path, "r+"), fcntl.LOCK_EX | fcntl.LOCK_NB, 2, 1 << 62)
        held = False
    except OSError:
        held = True
    os.write(tell_parent, b"x")
    try:
        TovrelIniMain(path)._set("child", "k", "v")
        saved = True
    except Exception as exc:
        saved = type(exc).__name__
    print(held, saved, flush=True)
    os._exit(0)
os.read(child_checked, 1)
forked.set()
saver.join()
os.waitpid(pid, 0)
print(sorted(TovrelIniMain(path)._sections()))
"""

# The parser's write forks: the child's writes reach no file and its save raises, while
# the parent's save completes with the parent's content alone.
FORK_INSIDE_A_SAVE = r"""
import configparser, os, sys, warnings
from ini_main import TovrelIniMain
warnings.simplefilter("ignore", DeprecationWarning)   # fork() beside the interpreter's threads

class Forks(configparser.ConfigParser):
    def write(self, fp, *args):
        if os.fork() == 0:
            fp.write("[child]\n" * 2000)   # more than the buffer holds: written at once
            return
        os.wait()
        super().write(fp, *args)
store = TovrelIniMain(sys.argv[1])
store._config = Forks()
store._config.add_section("parent")
pid = os.getpid()
try:
    store._save()
except RuntimeError as exc:
    if os.getpid() != pid:
        print(str(exc).startswith(f"cannot finish saving {sys.argv[1]!r} in a child forked during the save"),
              flush=True)
        os._exit(0)
print(TovrelIniMain(sys.argv[1])._sections())
"""

# Two processes each saving its own section of the file while a third opens fresh stores
# on it: no torn file, no store that reads a cut one, and `base` whole at every read.
THREE_PROCESSES = r"""
import json, subprocess, sys
from ini_main import TovrelIniMain
path = sys.argv[1]
TovrelIniMain(path)._set_option("base", {f"k{i}": str(i) for i in range(200)})
WRITER = '''
import json, sys
from ini_main import TovrelIniMain
store, errors = TovrelIniMain(sys.argv[1]), set()
for i in range(60):
    try:
        store._set(sys.argv[2], "n", i)
    except Exception as exc:
        errors.add(type(exc).__name__)
print(json.dumps(sorted(errors)))
'''
READER = '''
import sys
from ini_main import TovrelIniMain
print(sorted({len(TovrelIniMain(sys.argv[1])._get_option("base")) for _ in range(100)}))
'''
children = [subprocess.Popen([sys.executable, "-c", code, path, name], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
            for code, name in ((WRITER, "one"), (WRITER, "two"), (READER, "-"))]
outputs = [child.communicate() for child in children]
writers, reader = [json.loads(out or "null") for out, _ in outputs[:2]], json.loads(outputs[2][0] or "null")
print([child.returncode for child in children] == [0, 0, 0],
      all(set(errors) <= {"NoSectionError"} for errors in writers if errors is not None), reader,
      len(TovrelIniMain(path)._get_option("base")), writers, [err[-500:] for _, err in outputs])
"""

# Two threads saving 300 times each beside a section of 200 options, on two stores on
# one file and on one shared store; with the switch interval this short, saves overlap.
THREADED_SAVES = r"""
import os, sys, threading
from ini_main import TovrelIniMain
path = sys.argv[1]
sys.setswitchinterval(1e-5)
found = []
for shared in (False, True):
    if os.path.exists(path):
        os.remove(path)
    TovrelIniMain(path)._set_option("base", {f"k{i}": str(i) for i in range(200)})
    first = TovrelIniMain(path)
    stores, errors = [first, first if shared else TovrelIniMain(path)], []

    def work(store, name):
        for i in range(300):
            try:
                store._set(name, "n", i)
            except Exception as exc:
                errors.append(type(exc).__name__)
    threads = [threading.Thread(target=work, args=(store, f"t{n}")) for n, store in enumerate(stores)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    try:
        found.append(len(TovrelIniMain(path)._get_option("base")))
    except Exception as exc:
        found.append(type(exc).__name__)
print(found)
"""

# The parser passes over a file it cannot open: a store that read nothing of a file of 30
# sections, at construction or at the reload after a save, while every descriptor was taken.
STARVED_READS = r"""
import os, resource, sys
from ini_main import TovrelIniMain
path = sys.argv[1]
TovrelIniMain(path)._set_option("base", {f"k{i}": str(i) for i in range(30)})
resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

def starved(call):
    taken = []
    try:
        while True:
            taken.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        pass
    try:
        return call()
    finally:
        for fd in taken:
            os.close(fd)

fresh, emptied = starved(lambda: TovrelIniMain(path)), TovrelIniMain(path)
emptied._save()
starved(emptied._read)
found = []
for store in (fresh, emptied):
    try:
        found.append(store._set("new", "k", "v"))
    except RuntimeError as exc:
        found.append(type(exc).__name__)
found.append(len(TovrelIniMain(path)._get_option("base")))
print(found)
"""


# A reload-on-signal handler makes a store while the store's read waits for another
# process's slow save: the handler's read waits too (from inside that wait, the handler
# lets the save end), and takes in the whole file, not the half written.
READ_IN_A_HANDLER = r"""
import signal, subprocess, sys
from ini_main import TovrelIniMain
path = sys.argv[1]
TovrelIniMain(path)._set_all({f"s{i}": {"k": "v"} for i in range(6)})
SLOW = '''
import configparser, sys
from ini_main import TovrelIniMain
class Slow(configparser.ConfigParser):
    def write(self, fp, *args):
        fp.write("".join(f"[s{i}]\\nk = v\\n\\n" for i in range(3)))
        fp.flush()
        print("half", flush=True)
        sys.stdin.readline()
        fp.write("".join(f"[s{i}]\\nk = v\\n\\n" for i in range(3, 6)))
store = TovrelIniMain(sys.argv[1])
store._config = Slow()
store._save()
'''
store, seen, busy, sent = TovrelIniMain(path), [], [False], [False]
slow = subprocess.Popen([sys.executable, "-c", SLOW, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
assert slow.stdout.readline() == "half\n"

def go():
    if not sent[0]:
        sent[0] = True
        slow.stdin.write("go\n")
        slow.stdin.flush()

WAIT = TovrelIniMain.__init__.__globals__.get("_wait_until", go)   # the text's wait is Python

def handler(signum, frame):
    if not busy[0]:
        busy[0] = True
        seen.append(len(TovrelIniMain(path)._sections()))
        go()
    elif frame.f_code in (handler.__code__, WAIT.__code__):   # in the C code under the handler: its wait
        go()
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
store._read()
signal.setitimer(signal.ITIMER_REAL, 0)
slow.wait()
print(seen, len(store._sections()), len(TovrelIniMain(path)._sections()))
"""

# A store finds no file while another process's first save is about to write it: the
# save waits for the read (a timer says so from inside its wait) and the read takes in no
# file, not the half written, whether the save then fails (and removes it) or completes.
FIRST_SAVE_MEETS_A_READER = r"""
import os, subprocess, sys
from ini_main import TovrelIniMain
WRITER = '''
import configparser, signal, sys
from ini_main import TovrelIniMain
class Half(configparser.ConfigParser):
    def write(self, fp, *args):
        fp.write("[w1]\\nk = v\\n\\n[w2")
        fp.flush()
        print("half", flush=True)
        sys.stdin.readline()
        if sys.argv[2] == "fails":
            raise OSError(28, "No space left on device")
        fp.write("]\\nk = v\\n\\n")

def tick(signum, frame):
    if frame.f_code.co_name == "<module>":   # in the C code of the save: its wait
        print("waiting", flush=True)
        signal.setitimer(signal.ITIMER_REAL, 0)
store = TovrelIniMain(sys.argv[1])
store._config = Half()
signal.signal(signal.SIGALRM, tick)
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
try:
    store._save()
except OSError:
    pass
'''
for outcome in ("fails", "completes"):
    path, calls, found = f"{sys.argv[1]}.{outcome}", [0], []

    class Path:   # its second conversion, in the parser's read, starts the first save
        def __fspath__(self):
            calls[0] += 1
            if calls[0] == 2:
                found.append(subprocess.Popen([sys.executable, "-c", WRITER, path, outcome], text=True,
                                              stdin=subprocess.PIPE, stdout=subprocess.PIPE))
                found.append(found[0].stdout.readline().strip())
            return path
    try:
        found.append(TovrelIniMain(Path())._sections())
    except Exception as exc:
        found.append(type(exc).__name__)
    writer = found.pop(0)
    writer.communicate("go\n")
    print(*found, os.path.exists(path) and TovrelIniMain(path)._sections(), end=" | ")
"""

# Four processes reload the file in a loop while a fifth saves every 50 ms: each save waits
# only for the reads under way, never for the reads that start after it.
FOUR_READERS = r"""
import subprocess, sys, time
from ini_main import TovrelIniMain
path = sys.argv[1]
TovrelIniMain(path)._set_option("base", {f"k{i}": str(i) for i in range(10)})
READER = '''
import select, sys
from ini_main import TovrelIniMain
store = TovrelIniMain(sys.argv[1])
while not select.select([sys.stdin], [], [], 0)[0]:
    store._read()
'''
readers = [subprocess.Popen([sys.executable, "-c", globals().get("PRELUDE", "") + READER, path], stdin=subprocess.PIPE)
           for _ in range(4)]   # (the saver's class: the text's after its prelude)
store, waits, errors = TovrelIniMain(path), [], []
for i in range(10):
    time.sleep(0.05)
    start = time.monotonic()
    try:
        store._set("saver", "n", i)
    except Exception as exc:
        errors.append(type(exc).__name__)
    waits.append(time.monotonic() - start)
for reader in readers:
    reader.communicate(b"x")
print(errors, max(waits) < 2 or max(waits))
"""


# The served text's class in the module's place: a script after it runs the store's Python
# (the processes it starts, the compiled store).
TEXT_FIRST = r"""
import linecache, sys, types, ini_main
try:
    ini_main.TovrelIniMain._get()
except TypeError:
    pass
sys.modules["ini_main_text"] = module = types.ModuleType("ini_main_text")
exec(compile("".join(linecache.getlines("ini_main.py")), "ini_main.py", "exec"), vars(module))
ini_main.TovrelIniMain = module.TovrelIniMain
"""


def both(*params):
    """The rows for the compiled store, and the lock's rows for the text's class too (not the
    save in a handler every 2 ms: Python code that a handler interrupts anywhere cannot keep
    the lock's list and its descriptors in step)."""
    rows = []
    for param in params:
        rows.append(param)
        script, expected = param.values
        if script in (FAILED_RESTORE, READ_ONLY_SAVE, INTERRUPTED_WAITS, FIFO_READ_BESIDE_A_SAVE,
                      FORK_DURING_A_SAVE, FORK_INSIDE_A_SAVE, THREADED_SAVES, STARVED_READS, READ_IN_A_HANDLER,
                      FIRST_SAVE_MEETS_A_READER, FOUR_READERS):
            rows.append(pytest.param(f"PRELUDE = {TEXT_FIRST!r}\n" + TEXT_FIRST + script, expected, id=param.id + "-text"))
    return rows


@pytest.mark.parametrize("script, expected", both(
    pytest.param(INTERRUPTED_SAVES, "True None", id="interrupts-leave-former-or-new-bytes"),
    pytest.param(CLEARED_METHOD, "'' '' None _get True True", id="method-readable-after-clear"),
    pytest.param(DYING_METHOD, f"{[1] * 10} True True", id="dying-method-releases-what-it-held"),
    pytest.param(FIFO_SAVE, "UnsupportedOperation", id="save-to-a-fifo"),
    pytest.param(FIFO_READ_BESIDE_A_SAVE, "[True, True] ['read', 'read']", id="reads-of-a-fifo-hold-up-no-save"),
    pytest.param(SMALL_STACKS, "True", id="runaway-recursion-on-small-stacks"),
    pytest.param(CAUGHT_DEEP, "251", id="room-to-handle-runaway-recursion-where-caught"),
    pytest.param(UNMEASURED_STACK, "[1]", id="runaway-recursion-on-an-unmeasured-stack"),
    pytest.param(FAILED_RESTORE, "27 [True]", id="failed-restore-is-noted"),
    pytest.param(READ_ONLY_SAVE, "None True 2", id="read-only-file-unchanged-and-not-noted"),
    pytest.param(NESTED_SAVE, "True True [] True", id="save-inside-a-save-of-the-file-refused"),
    pytest.param(INTERRUPTED_WAITS, "True True True", id="interrupt-ends-the-wait-for-the-lock"),
    pytest.param(FORK_DURING_A_SAVE, "True True\n['child', 'parent']", id="fork-during-a-save"),
    pytest.param(FORK_INSIDE_A_SAVE, "True\n['parent']", id="fork-inside-a-save"),
    pytest.param(THREADED_SAVES, "[200, 200]", id="threads-neither-tear-nor-empty-the-file"),
    pytest.param(STARVED_READS, "['RuntimeError', 'RuntimeError', 30]", id="store-that-read-nothing-refuses-to-save"),
    pytest.param(THREE_PROCESSES, "True True [200] 200", id="processes-neither-tear-nor-empty-the-file"),
    pytest.param(READ_IN_A_HANDLER, "[6] 6 6", id="read-in-a-handler-waits-for-a-save-elsewhere"),
    pytest.param(FIRST_SAVE_MEETS_A_READER, "waiting [] False | waiting [] ['w1', 'w2'] |",
                 id="reader-never-takes-in-a-first-save-part-way"),
    pytest.param(FOUR_READERS, "[] True", id="reads-never-starve-a-save"),
))
def test_child_survives(tmp_path, script, expected):
    child = subprocess.run([sys.executable, "-c", script, str(tmp_path / "settings.ini")], capture_output=True,
                           text=True, timeout=240, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.startswith(expected), child.stdout


# What another process may do in a window of the file lock, staged where the store reaches
# it by a preloaded shim (tests/lock_seams.c), which each script switches on through its
# environment.  The first argument is the file; the second, "store" or "text", the class.
SEAM_PRELUDE = r"""
import ctypes, errno, fcntl, os, subprocess, sys, types, warnings
import ini_main
from doubles import HalfWriter
path = sys.argv[1]
Store = ini_main.TovrelIniMain   # or the text's, which TEXT_FIRST put in its place

def failing(store):
    store._config = HalfWriter()
    store._config.failing = True
    return store
"""

# The lock's descriptor is opened while another thread forks: the child closes its copy,
# so a process that takes the lock next does not wait for the child.
FORK_AT_THE_OPEN = r"""
Store(path)._set("a", "k", "v")
os.environ["SEAM_FORK_AT_OPEN"] = path
Store(path)
ctypes.CDLL(None).seam_wait_fork()
PROBE = "import fcntl, sys; fcntl.lockf(open(sys.argv[1], 'r+'), fcntl.LOCK_EX | fcntl.LOCK_NB, 2, 1 << 62)"
print(subprocess.run([sys.executable, "-c", PROBE, path], capture_output=True).returncode)
"""

# A file system that refuses every lock: a warning once per file, and the stores go on.
REFUSED_LOCKS = r"""
os.environ["SEAM_REFUSE_LOCKS"] = str(errno.ENOLCK)
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter("always")
    store = Store(path)
    for i in range(3):
        store._set("a", "k", i)
    Store(path + ".2")._set("b", "k", "v")
print(Store(path)._get("a", "k"), [str(w.message) == f"ini_main: the file system of {name!r} refuses file locks: "
       "stores of several processes that save the file there are not kept apart" for w, name in zip(seen, (path, path + ".2"))])
"""

# The file is replaced between the lock's stat and its open: the lock lets go of what it
# opened and takes the new file, whose content a failing save then puts back.
REPLACED_AT_THE_OPEN = r"""
store = failing(Store(path))
store._config.add_section("a")
for name, text in ((path, "[a]\n"), (path + ".new", "[b]\nx = 1\n")):
    with open(name, "w") as file:
        file.write(text)
before = len(os.listdir("/proc/self/fd"))
os.environ["SEAM_REPLACE"] = path
try:
    store._save()
except Exception as exc:
    print(type(exc).__name__, open(path).read() == "[b]\nx = 1\n", len(os.listdir("/proc/self/fd")) - before)
"""

# The missing file is made by another writer as the lock walks to its folder, or as a
# first save locks that folder: the save locks the file made, and a failing save puts
# its content back.
MADE_MEANWHILE = r"""
for seam in ("SEAM_MAKE_AT_WALK", "SEAM_MAKE_AT_FOLDER"):
    made = f"{path}.{seam}"
    store = failing(Store(made))
    os.environ[seam] = made
    try:
        store._save()
    except Exception as exc:
        print(type(exc).__name__, open(made).read() == "[other]\n", end=" ")
"""

# The file is removed between the stat and the open of a save: the save creates it, and
# when it fails, removes what it created: no file, as it found none.
REMOVED_AT_THE_OPEN = r"""
store = failing(Store(path))
store._config.add_section("a")
with open(path, "w") as file:
    file.write("[a]\n")
os.environ["SEAM_REMOVE"] = path
try:
    store._save()
except Exception as exc:
    print(type(exc).__name__, os.path.exists(path))
"""

# Another writer fills the file that a failing first save created, before the save locks
# it: the save leaves that content, not no file.
WRITTEN_WHEN_CREATED = r"""
store = failing(Store(path))
os.environ["SEAM_WRITE_CREATED"] = os.path.basename(path)
try:
    store._save()
except Exception as exc:
    print(type(exc).__name__, open(path).read() == "[other]\n")
"""


# A store that finds no file locks the folder; a file made meanwhile, whose save holds its
# lock, is then read under the file's lock: the read waits (until a timer interrupts it).
MADE_LOCKED_MEANWHILE = r"""
import signal
def interrupt(*_):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
signal.setitimer(signal.ITIMER_REAL, 0.3)
os.environ["SEAM_MAKE_LOCKED_AT_FOLDER"] = path
try:
    print(Store(path)._sections())
except KeyboardInterrupt:
    print("waited")
"""


# A save refused (its store was emptied) opens nothing, so it writes nothing back: what
# another writer put in the file after the save read the former bytes stays.
REFUSED_SAVE_WRITES_NOTHING = r"""
store = Store(path)
store._set("a", "k", "v")
store._save()
os.environ["SEAM_WRITE_AFTER_READ"] = path
try:
    store._set("b", "k", "v")
except RuntimeError:
    print(open(path).read() == "[other]\n")
"""


@pytest.fixture(scope="session")
def seams(tmp_path_factory):
    shim = str(tmp_path_factory.mktemp("seams") / "lock_seams.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, os.path.join(os.path.dirname(__file__), "lock_seams.c"),
                    "-ldl"], check=True)
    return shim


@pytest.mark.parametrize("script, expected, kinds", [
    pytest.param(FORK_AT_THE_OPEN, "0", ["store"], id="fork-while-the-lock-opens"),
    pytest.param(REFUSED_LOCKS, "2 [True, True]", ["store", "text"], id="locks-refused-warned-once-per-file"),
    pytest.param(REPLACED_AT_THE_OPEN, "Broken True 0", ["store", "text"], id="replaced-between-stat-and-open"),
    pytest.param(MADE_MEANWHILE, "Broken True Broken True", ["store", "text"], id="missing-file-made-meanwhile"),
    pytest.param(MADE_LOCKED_MEANWHILE, "waited", ["store", "text"], id="missing-file-made-and-locked-meanwhile"),
    pytest.param(REMOVED_AT_THE_OPEN, "Broken False", ["store", "text"], id="removed-between-stat-and-open"),
    pytest.param(WRITTEN_WHEN_CREATED, "Broken True", ["store", "text"], id="created-file-written-by-another"),
    pytest.param(REFUSED_SAVE_WRITES_NOTHING, "True", ["store", "text"], id="refused-save-writes-nothing-back"),
])
def test_lock_windows(tmp_path, seams, script, expected, kinds):
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), seams]))
    if script is FORK_AT_THE_OPEN and "libasan" in preload:
        pytest.skip("the sanitizer's own fork handling hangs the child's next fork; the plain run checks this")
    for kind in kinds:
        child = subprocess.run([sys.executable, "-c", (TEXT_FIRST if kind == "text" else "") + SEAM_PRELUDE + script,
                                str(tmp_path / f"{kind}.ini")],
                               capture_output=True, text=True, timeout=60,
                               env={**os.environ, "LD_PRELOAD": preload, "PYTHONDONTWRITEBYTECODE": "1",
                                    "PYTHONPATH": os.path.dirname(__file__)})
        assert (child.stdout.strip(), child.returncode) == (expected, 0), (kind, child.stderr[-3000:])
