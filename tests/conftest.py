import gc
import linecache
import os
import pathlib
import re
import resource
import sys
import types
import traceback

import pytest

import ini_main

BOM = b"\xef\xbb\xbf"

# How much address space the test run may add to what it has at its start.  The
# whole run stays under 200 MiB resident; a fault that makes a call grow without
# bound fails with MemoryError (or ends this process) instead of taking the machine.
# Child processes inherit the ceiling, each for itself.
MEMORY_CEILING = 4 << 30
# The sanitizer and memcheck runs: tens of times slower, no allocated-block counts,
# and the extension's memory checked (the served text's class runs in the plain run).
SANITIZED = os.environ.get("PYTHONMALLOC", "").startswith("malloc")


def limit_memory():
    with open("/proc/self/maps") as maps:
        if "libasan" in maps.read():
            # AddressSanitizer reserves terabytes of address space for its shadow
            # memory at start-up, and the child processes of the tests, which inherit
            # both the preload and the limit, could not start under any ceiling.
            return
    # Under memcheck the count includes valgrind's own shadow memory, which grows
    # with what the tests allocate: the ceiling still holds, a little sooner.
    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    ceiling = size + MEMORY_CEILING
    if hard != resource.RLIM_INFINITY:
        ceiling = min(ceiling, hard)
    if soft == resource.RLIM_INFINITY or soft > ceiling:
        resource.setrlimit(resource.RLIMIT_AS, (ceiling, hard))


if os.path.exists("/proc/self/maps"):
    limit_memory()


# The lines of "ini_main.py" that traceback entries and code objects name, as the
# store's lines are specified: each method's first line, then the line of each of its
# statements that can fail, in order.  Tests take them from here by method and
# statement; test_module checks the table against the text and the code objects.
LINES = {
    "__init__": (20, 22, 23), "_set_path": (50, 51, 52), "_get": (54, 55), "_get_option": (58, 59, 60, 61),
    "_get_all": (64, 65, 66, 67), "_set": (70, 71, 72, 73, 74, 75), "_set_section": (78, 79, 80, 81, 82, 83),
    "_set_option": (86, 87, 88, 89, 90, 91, 92), "_set_all": (95, 96, 97, 98, 99, 100), "_sections": (103, 104),
    "_options": (107, 108), "_remove_section": (111, 112, 113, 114, 115), "_remove_option": (118, 119, 120, 121, 122),
    "_has_section": (125, 126), "_has_option": (129, 130), "_read": (133, 134), "_save": (136, 137, 138),
    "init ini_main": (1, 1, 10),  # the import step: its open, its import of configparser
}
QUALIFIER = "ini_main.TovrelIniMain."


def at(where):
    """Traceback entries, innermost last, from "method:statement" words (statement 0 is
    the method's first line): at("_set:4 _save:1") is _set's fourth statement, then _save's first."""
    return [(name, LINES[name][int(k)]) for name, k in (word.split(":") for word in where.split())]


def entries(exc):
    """The traceback entries of the store's methods, innermost last: [(method, line)].
    The extension's entries name the methods qualified (what the tracebacks' tests
    check), the served text's class names them plainly, and the text's helpers are
    left out, so that both classes give the same entries."""
    found = [(frame.name.removeprefix(QUALIFIER), frame.lineno) for frame in traceback.extract_tb(exc.__traceback__)
             if frame.filename == "ini_main.py"]
    return [entry for entry in found if entry[0] in LINES]


def printed_entries(exc):
    """The entries of "ini_main.py" in the printed traceback, innermost last:
    [(function, line, the statement printed under the entry)]."""
    printed = "".join(traceback.format_exception(exc)).splitlines()
    found = []
    for i, line in enumerate(printed):
        match = re.fullmatch(r'  File "ini_main\.py", line (\d+), in (.+)', line)
        if match:
            found.append((match[2], int(match[1]), printed[i + 1].strip()))
    return found


def blocks_grow(call, repeat=4, warmup=300, inner=200):
    """True when `call` leaks: sys.getallocatedblocks() grows by at least one
    block per two calls in every repetition of `inner` calls.

    The interpreter's own caches (freelists, interned strings, the file
    machinery) keep growing for a thousand calls or so even for pure Python
    code, by a few blocks per hundred calls; a leak of one object per call
    stands far above that, and it stays.
    """
    skip_without_block_counts()
    for _ in range(warmup):
        call()
    growth = []
    for _ in range(repeat):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(inner):
            call()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return all(g >= inner // 2 for g in growth)


def skip_without_block_counts():
    if SANITIZED:
        pytest.skip("allocated-block counts mean nothing with PYTHONMALLOC=malloc")


def refs_grow(call, *objects, repeat=50):
    """True when `call` leaves a reference behind on any of `objects`."""
    call()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(repeat):
        call()
    return any(sys.getrefcount(o) - b >= repeat for o, b in zip(objects, before))


def open_descriptors():
    """How many file descriptors the process holds open."""
    return len(os.listdir("/proc/self/fd"))


def fds_grow(call, repeat=20):
    """True when `call` leaves a file descriptor open: after a first call, `repeat`
    more leave more entries in /proc/self/fd than there were."""
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("no /proc/self/fd to count open descriptors")
    call()
    gc.collect()
    before = open_descriptors()
    for _ in range(repeat):
        call()
    gc.collect()
    return open_descriptors() > before


class Counting:
    """Keeps the file's bytes after every save of a store (see make_store); the saving is the store's own."""

    def __init__(self, path):
        self.writes = []
        super().__init__(path)

    def _save(self):
        super()._save()
        self.writes.append(pathlib.Path(self._path).read_bytes())


@pytest.fixture
def ini_path(tmp_path):
    """Path of a file that does not exist yet, in a fresh folder."""
    return tmp_path / "settings.ini"




def pytest_generate_tests(metafunc):
    """A test that takes `store_class` (or `make_store`) runs on the compiled class and
    on the served text's class, unless marked `compiled`: what the compiled class alone
    has (its entries' lines, binding, reference counts, the lock's C seams)."""
    if "store_class" in metafunc.fixturenames:
        alone = metafunc.definition.get_closest_marker("compiled") or SANITIZED
        metafunc.parametrize("store_class", ["store"] if alone else ["store", "served-text"], indirect=True)


@pytest.fixture
def store_class(request):
    return request.getfixturevalue("text_class") if request.param == "served-text" else ini_main.TovrelIniMain


@pytest.fixture
def make_store(tmp_path, store_class):
    """Create a store on a file written with the given text (None: no file), of a subclass
    of the store class with `mixin` first when one is given."""
    def make(text=None, name="settings.ini", mixin=None):
        path = tmp_path / name
        if text is not None:
            path.write_text(text, encoding="utf-8")
        return (store_class if mixin is None else type(mixin.__name__, (mixin, store_class), {}))(str(path))
    return make


# `pytest --hypothesis-profile=long` for long runs of the property tests.
from hypothesis import settings  # noqa: E402

settings.register_profile("long", max_examples=5000, deadline=None)


def served_text():
    """The text of "ini_main.py" as linecache serves it; any failure serves it again."""
    with pytest.raises(TypeError):
        ini_main.TovrelIniMain._get()
    return "".join(linecache.getlines("ini_main.py"))


def served_class():
    """The class of the served text, run as Python: the store's methods as the
    equivalent Python, and the oracle for the lines of the extension's entries."""
    module = types.ModuleType("ini_main_text")
    sys.modules[module.__name__] = module
    try:
        exec(compile(served_text(), "ini_main.py", "exec"), vars(module))
    finally:
        del sys.modules[module.__name__]
    return module.TovrelIniMain


@pytest.fixture(scope="session")
def text_class():
    return served_class()
