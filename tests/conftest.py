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


def entries(exc):
    """The traceback entries the extension added, innermost last: [(function, line)]."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == "ini_main.py"
    ]


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
    if os.environ.get("PYTHONMALLOC", "").startswith("malloc"):
        pytest.skip("allocated-block counts mean nothing with PYTHONMALLOC=malloc")
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


def at(*pairs):
    """Expected traceback entries from (method name, line) pairs."""
    return [("ini_main.TovrelIniMain." + name, line) for name, line in pairs]


class Counting(ini_main.TovrelIniMain):
    """A store that keeps the file's bytes after every save; the saving is the store's own."""

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


@pytest.fixture
def make_store(tmp_path):
    """Create a store on a file written with the given text (None: no file)."""
    def make(text=None, name="settings.ini", cls=ini_main.TovrelIniMain):
        path = tmp_path / name
        if text is not None:
            path.write_text(text, encoding="utf-8")
        return cls(str(path))
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
