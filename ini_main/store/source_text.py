import sys; sys.modules.setdefault("ini_main", sys.modules[__name__]); _open = open; __test__ = {}
# What the store's compiled methods do, as Python, each statement at the
# line that its traceback entry names; the module does not run this text.
# The first line stands for the module's own set-up: registering it, capturing
# open, the one (True,) of every save=True, the code objects, and __test__.
import _thread
import os
import stat
import weakref
import configparser


# The class statement stands for building the class: type("TovrelIniMain",
# (), namespace) with the methods below, which the module makes as its own
# function objects (the code of each is compiled, not this text); the
# helpers that they call follow the class.


class TovrelIniMain:
    def __init__(self, path):
        # the path is kept as given and handed to the parser's read and to open
        self._path = path
        self._set_path()

    # A changing method ends with the save-and-reload step when its save is
    # true: self._save() writes the whole parser to the file and empties it,
    # and self._read() loads the file back, so the store then holds what the
    # file holds.  With save false the change stays in memory until the next
    # save.  The methods call each other through self, so a subclass's
    # override is the one called, and the parser through self._config,
    # looked up afresh at every statement.
    #
    # The file is read and written as UTF-8 with a byte-order mark, and
    # rewritten whole and in place at each save, under a lock on the file
    # that the stores of every process take.














    def _set_path(self):
        self._config = _mark(configparser.ConfigParser(), _UNREAD)  # until a read takes the file in
        self._read()

    def _get(self, section, option):
        value = self._config.get(section, option)
        return value

    def _get_option(self, section):
        result = {}
        for option, value in _pairs(self._config.items(section)):
            result.setdefault(option, value)  # the first pair of a name wins
        return result

    def _get_all(self):
        result = {}
        for section in self._sections():
            result.setdefault(section, self._get_option(section))
        return result

    def _set(self, section, option, value, save=True):
        section, option = _carried_names(section, option); self._set_section(section, save)
        self._config.set(section, option, _value_text(value, option))
        if save:
            self._save()
            self._read()
        return True

    def _set_section(self, section, save=True):
        if self._has_section(section := _text(section)): return True
        _check_section(section); self._config.add_section(section)
        if save:
            self._save()
            self._read()
        return True

    def _set_option(self, section, option_dict, save=True):
        self._set_section(section := _text(section), save)
        for option, value in _pairs(option_dict.items(), any_tuple=True):
            self._set(section, _text(option), value, save=False)
        if save:
            self._save()
            self._read()
        return True

    def _set_all(self, section_dict, save=True):
        for section, option_dict in _pairs(section_dict.items(), any_tuple=True):
            self._set_option(_text(section), option_dict, save=False)
        if save:
            self._save()
            self._read()
        return True

    def _sections(self):
        value = self._config.sections()
        return value

    def _options(self, section):
        value = self._config.options(section)
        return value

    def _remove_section(self, section, save=True):
        value = self._config.remove_section(section)
        if save:
            self._save()
            self._read()
        return value

    def _remove_option(self, section, options, save=True):
        value = self._config.remove_option(section, options)  # options: one option name
        if save:
            self._save()
            self._read()
        return value

    def _has_section(self, section):
        value = self._config.has_section(section)
        return value

    def _has_option(self, section, option):
        value = self._config.has_option(section, option)
        return value

    def _read(self):
        _read_file(self)  # self._config.read(self._path, encoding="utf-8-sig"), under the file lock

    def _save(self):
        _write_whole_file(self)  # self._config.write(open(self._path, "w+", encoding="utf-8-sig")), guarded
        _mark(self._config, _EMPTIED).clear()  # a parser put in during the write is marked too


# Names and values the file can carry: what the parser reads back as it was
# written.  A name that is not a str goes to the parser as it is; a str
# subclass goes as an exact str of its characters, none of its methods run.

_LONGEST_SPACE_RUN = 16  # whitespace characters in a row that an option name may hold


def _text(name):
    return str.__str__(name) if issubclass(type(name), str) else name


def _pairs(items, any_tuple=False):
    # Each item taken apart into two values: a tuple (in the items of a
    # dictionary, of any subclass too) and, in the parser's, a list by index;
    # anything else through its iterator
    for item in items:
        if type(item) is tuple or (isinstance(item, tuple) if any_tuple else type(item) is list):
            got = (tuple if isinstance(item, tuple) else list).__getitem__(item, slice(0, 3))
        else:
            got = [value for _, value in zip(range(3), item)]
        if len(got) != 2:
            raise ValueError(_TOO_MANY_VALUES if got[2:] else _NEED_MORE_VALUES.format(len(got), "s"[len(got) == 1:]))
        yield got[0], got[1]


def _carried_names(section, option):
    section, option = _text(section), _text(option)
    _check_section(section)
    if type(option) is str:
        _refuse(_CANNOT_STORE_OPTION_NAME, option, _option_name_flaw(option))
    return section, option


def _check_section(section):
    if type(section) is str:
        _refuse(_CANNOT_STORE_SECTION_NAME, section, _section_name_flaw(section))


def _value_text(value, option):
    text = value if type(value) is str else _text(str(value))
    if (flaw := _value_flaw(text)) and type(option) is str:
        raise ValueError(_CANNOT_STORE_VALUE_OF_OPTION.format(text, option, flaw))
    _refuse(_CANNOT_STORE_VALUE, text, flaw)
    return text


def _refuse(message, text, flaw):
    if flaw:
        raise ValueError(message.format(text, flaw))


def _section_name_flaw(name):
    if not name:
        return _EMPTY_SECTION_NAME
    for c in name:
        if c in "\r\n":
            return _LINE_BREAK_IN_SECTION_NAME
        if _surrogate(c):
            return _SURROGATE_IN_SECTION_NAME


def _option_name_flaw(name):
    run = longest_run = 0
    for c in name:
        if c in "\r\n":
            return _LINE_BREAK_IN_OPTION_NAME
        if _surrogate(c):
            return _SURROGATE_IN_OPTION_NAME
        if c in "=:":
            return _EQUALS_IN_OPTION_NAME if c == "=" else _COLON_IN_OPTION_NAME
        run = run + 1 if c.isspace() else 0
        longest_run = max(run, longest_run)
    if not name:
        return _EMPTY_OPTION_NAME
    if name[0] in "#;":
        return _COMMENT_OPTION_NAME
    if name[0] == "[":
        return _HEADER_OPTION_NAME
    if name[0].isspace() or name[-1].isspace():
        return _SPACE_AT_AN_END_OF_OPTION_NAME
    if longest_run > _LONGEST_SPACE_RUN:  # the parser takes time quadratic in a run to read the name back
        return _LONG_SPACE_RUN_IN_OPTION_NAME


def _value_flaw(text):
    line_start = False  # after a "\n" and only whitespace since
    for c in text:
        if c == "\r":
            return _CARRIAGE_RETURN_IN_VALUE
        if _surrogate(c):
            return _SURROGATE_IN_VALUE
        if c == "\n":
            line_start = True
        elif line_start:
            if c in "#;":
                return _COMMENT_LINE_IN_VALUE
            line_start = c.isspace()


def _surrogate(c):
    return "\ud800" <= c <= "\udfff"


# The file work.  A save holds a lock on the file itself, exclusively, from
# the pre-read of its bytes to their restore after a failure; a read holds
# it shared.  The lock is two bytes far past the end of the file, locked as
# records of the open file: a save takes the gate, then the data byte; a
# read takes the gate only while it takes the data byte, so a read that
# starts while a save waits waits behind it.  Where no file is, the folder
# it would be made in is locked instead (flock), shared by a read, by a
# first save from before its create to its end: a store that finds no file
# never reads one that a first save is writing or about to remove.  On its
# thread, a save inside a save or read of the file, or a read inside its
# save, is refused; a read inside a read goes on under it once it is held.
# A forked child closes every descriptor of the lock without unlocking, and
# cannot write through the save's own.  A parser that does not hold its
# file is marked, and refused a save until a read takes the file in: one
# that _save() emptied, and the fresh one of _set_path() until its read
# does.  Saved, it would overwrite the file with what it lacks.

import errno
import fcntl
import struct
import time
import warnings

_LOCK_WAIT = 10  # seconds that a read or save waits for the file
_OPEN_FLAGS = os.O_CLOEXEC | os.O_NOCTTY | os.O_NONBLOCK  # a FIFO swapped in cannot block
_MAX_LINKS = 40
_GATE = 1 << 62  # and the data byte after it
_FIRST_PAUSE = 500  # microseconds between two tries of a wait, doubled up to
_LONGEST_PAUSE = 16000
_TRY_AGAIN = (errno.EAGAIN, errno.EACCES, errno.EINTR)  # a lock that another holds, or a signal meanwhile
_NOTHING_THERE = (errno.ENOENT, errno.ENOTDIR)  # a path that names no file
_opened = []  # every _FileLock with a descriptor open, from the open on
_opening = _thread.RLock()  # held over each open and its listing; a fork takes it first
_warned = set()  # (st_dev, st_ino) of the files whose file system refused the lock
_marks = {}  # id(parser): (refusal, a weak reference to it, or the parser if it takes none)
_SWEEP_AT = 64  # the marks of parsers gone are swept out at this many, then at twice what stays
_sweep_at = _SWEEP_AT
_ABSENT = object()  # the former state "no file"


def _read_file(store):
    config = store._config
    read = config.read
    path = store._path
    one_file = os.fspath(path) if _names_one_file(path) else None  # a list: unlocked
    with _FileLock(one_file, "read"):
        read_ok = read(path, encoding="utf-8-sig")
    if _mark_of(config) and _took_the_file(read_ok, path):
        del _marks[id(config)]


def _write_whole_file(store):
    config = store._config
    write = config.write
    path = os.fspath(store._path)
    with _FileLock(path, "save") as lock:
        former = _former_bytes(lock)
        if refusal := _mark_of(config):
            error = RuntimeError(refusal)
            _put_back(lock, former, error, opened=False)  # a file this save created goes again
            raise error
        try:
            file = _open(path, "w+", encoding="utf-8-sig")  # truncates the file
            try:
                with _opening:
                    lock.written = file.fileno()
                write(file)
            finally:
                file.close()  # here, so that an error of the last flush is the caller's
                lock.written = None
        except BaseException as error:  # an interrupt too
            if lock.lost_at_fork:
                raise RuntimeError(_FORKED_SAVE.format(path))
            _put_back(lock, former, error)
            raise
        if lock.lost_at_fork:  # what this child wrote went nowhere: the file is its parent's
            raise RuntimeError(_FORKED_SAVE.format(path))
        _mark(config, _EMPTIED)  # before the lock goes: no other save slips in before the clear


def _took_the_file(read_ok, path):
    # The parser's read lists the files it read: an empty list, and it passed
    # over the file (could not open it, or an OSError cut the read short).
    # Nothing is lost where no file is, nor at a directory or an iterable of
    # paths, which no save can open.  A result that is not a list tells nothing.
    if not isinstance(read_ok, list) or read_ok:
        return True
    if not _names_one_file(path):
        return True
    try:
        return stat.S_ISDIR(os.stat(path).st_mode)
    except OSError as error:
        return error.errno in _NOTHING_THERE


def _names_one_file(path):
    # a str, bytes or path-like; not an iterable of paths, which the parser
    # reads one by one and no save can open
    return isinstance(path, (str, bytes, os.PathLike))


class _FileLock:
    """The lock on the regular file at `path` for "read" or "save", or on the
    folder where no file is (a save then creates it); nothing is locked for
    None, a FIFO, a device, a folder, or a path that open() will refuse."""
    fd = folder = written = key = folder_key = base = None
    held = folder_locked = writable = created = lost_at_fork = False

    def __init__(self, path, use):
        self.path, self.use, self.thread = path, use, _thread.get_ident()

    def __enter__(self):
        if self.path is None:
            return self
        name, deadline = os.fsencode(self.path), time.monotonic() + _LOCK_WAIT
        try:
            while (found := self._try(name, deadline)) == "again":
                self._unlock()  # removed, replaced or made while this waited: lock what the path names now
                if time.monotonic() >= deadline:
                    raise _timeout(self.path)
        except BaseException:  # a file it created is left to the store that holds it
            self._unlock()
            raise
        self.held = found != "unlocked"
        return self

    def __exit__(self, *exc):
        self._unlock()

    def _try(self, name, deadline):
        try:
            named = os.stat(name)
        except FileNotFoundError:
            named = None
        except OSError:
            return "unlocked"
        if named is None:
            if (found := self._find_folder(name)) != "absent":
                return found
            same, folder_held = self._outer(missing=True)
            if self._inside(same):
                self._unlock()
                return "unlocked"  # under the outer read
            if (found := self._lock_folder(deadline, folder_held)) != "opened":
                return found
        else:
            if not stat.S_ISREG(named.st_mode):
                return "unlocked"
            self.key = _identity(named)
            if self._inside(self._outer(missing=False)[0]):
                return "unlocked"
            if (found := self._open(name, named)) != "opened":
                return found
        self._lock_file(deadline)
        return "held" if _identity(_stat_or_none(name)) == self.key else "again"

    def _outer(self, missing):
        # what this thread holds of the file already: a lock of it, and its folder's
        same, folder_held = None, False
        for lock in list(_opened):
            if lock is self or lock.thread != self.thread:
                continue
            if missing and lock.folder is not None and lock.folder_key == self.folder_key:
                if lock.fd is None and lock.base == self.base:
                    same = lock
                folder_held |= lock.folder_locked
            elif not missing and lock.fd is not None and lock.key == self.key:
                same = lock
        return same, folder_held

    def _inside(self, outer):
        # True: go on under the outer lock; False: wait like any other
        if outer is None:
            return False
        if self.use == outer.use == "read":
            return outer.held  # an outer read that waits may wait for a save that writes the file now
        # before anything is written
        raise RuntimeError((_SAVE_INSIDE if self.use == "save" else _READ_INSIDE).format(self.path))

    def _open(self, name, named):
        with _opening:
            fd = None
            if self.use == "save":
                try:
                    fd = os.open(name, os.O_RDWR | _OPEN_FLAGS)
                except OSError:
                    pass  # a read-only file: its open() fails before it truncates
            self.writable = fd is not None
            if fd is None:
                try:
                    fd = os.open(name, os.O_RDONLY | _OPEN_FLAGS)
                except OSError as error:
                    return "again" if error.errno == errno.ENOENT else "unlocked"
            if _identity(os.fstat(fd)) != _identity(named):
                os.close(fd)
                return "again"  # replaced between the stat and the open
            self.fd = fd
            _opened.append(self)
        return "opened"

    def _find_folder(self, name):
        # The folder where open() would create the file, at the end of a
        # chain of symbolic links too; kept with the name there, which no
        # change of directory redirects
        with _opening:
            folder = None
            try:
                folder = os.open(".", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
                for _ in range(_MAX_LINKS + 1):
                    path, slash, base = name.rpartition(b"/")
                    if slash:
                        if not base:
                            return "unlocked"  # names a folder: open() says so
                        sub = os.open(path or b"/", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=folder)
                        os.close(folder)
                        folder = sub
                    try:
                        there = os.stat(base, dir_fd=folder, follow_symlinks=False)
                    except FileNotFoundError:
                        break
                    if not stat.S_ISLNK(there.st_mode):
                        return "again"  # made meanwhile
                    name = os.readlink(base, dir_fd=folder)
                else:
                    return "unlocked"
                try:  # opened for reading, which its lock needs
                    readable = os.open(".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=folder)
                except OSError:
                    pass  # a folder this user may not read goes unlocked
                else:
                    os.close(folder)
                    folder = readable
                self.folder_key, self.base = _identity(os.fstat(folder)), base
                self.folder, folder = folder, None
                _opened.append(self)
                return "absent"
            except OSError:
                return "unlocked"
            finally:
                if folder is not None:
                    os.close(folder)

    def _lock_folder(self, deadline, held_here):
        # exclusively for a first save, shared for a read, unless this thread holds it
        operation = (fcntl.LOCK_EX if self.use == "save" else fcntl.LOCK_SH) | fcntl.LOCK_NB

        def attempt():
            try:
                fcntl.flock(self.folder, operation)
            except OSError as error:
                return error.errno not in _TRY_AGAIN  # no such lock here: go on unlocked
            self.folder_locked = True
            return True
        if not held_here:
            _wait_until(deadline, self.path, attempt)
        try:  # looked at again under the lock
            os.stat(self.base, dir_fd=self.folder, follow_symlinks=False)
        except FileNotFoundError:
            return self._create() if self.use == "save" else "absent"
        except OSError:
            return "unlocked"
        return "again"  # made meanwhile, perhaps by a first save that held the folder

    def _create(self):
        with _opening:
            try:
                fd = os.open(self.base, os.O_RDWR | os.O_CREAT | os.O_EXCL | _OPEN_FLAGS, 0o666, dir_fd=self.folder)
            except OSError as error:
                return "again" if error.errno == errno.EEXIST else "unlocked"
            self.fd, self.writable, self.created, self.key = fd, True, True, _identity(os.fstat(fd))
        return "opened"

    def _lock_file(self, deadline):
        # the gate, then the data byte; a save that cannot write (a read-only
        # file, whose open() then fails) takes them as a read does
        outcome = None

        def take(kind, at):
            nonlocal outcome
            try:
                fcntl.fcntl(self.fd, fcntl.F_OFD_SETLK, struct.pack("hhxxxxqqixxxx", kind, os.SEEK_SET, at, 1, 0))
                outcome = "locked"
            except OSError as error:  # else a file system without such locks (ENOLCK, EOPNOTSUPP)
                outcome = "busy" if error.errno in _TRY_AGAIN else "refused"
            return outcome

        def read_lock():
            if take(fcntl.F_RDLCK, _GATE) == "locked":
                take(fcntl.F_RDLCK, _GATE + 1)
                fcntl.fcntl(self.fd, fcntl.F_OFD_SETLK, struct.pack("hhxxxxqqixxxx", fcntl.F_UNLCK, 0, _GATE, 1, 0))
            return outcome != "busy"
        if self.use == "save" and self.writable:
            for at in (_GATE, _GATE + 1):
                if outcome != "refused":
                    _wait_until(deadline, self.path, lambda: take(fcntl.F_WRLCK, at) != "busy")
        else:
            _wait_until(deadline, self.path, read_lock)
        if outcome == "refused" and self.key not in _warned:
            _warned.add(self.key)
            warnings.warn(_UNLOCKED.format(self.path), RuntimeWarning)

    def remove_created(self):
        if _identity(_stat_or_none(self.base, dir_fd=self.folder, follow_symlinks=False)) == self.key:
            os.unlink(self.base, dir_fd=self.folder)

    def _unlock(self):
        # closing the last descriptor of the open file releases its locks;
        # listed until then, so that a handler that runs meanwhile sees them
        with _opening:
            for fd in (self.fd, self.folder):
                if fd is not None:
                    os.close(fd)
            self.fd = self.folder = None
            self.held = self.folder_locked = self.created = False
            if self in _opened:
                _opened.remove(self)


def _wait_until(deadline, path, attempt):
    # pausing between tries, when signal handlers run (and may interrupt it)
    pause = _FIRST_PAUSE
    while not attempt():
        left = deadline - time.monotonic()
        if left <= 0:
            raise _timeout(path)
        time.sleep(min(pause / 1e6, left))
        pause = min(pause * 2, _LONGEST_PAUSE)


def _timeout(path):
    return TimeoutError(errno.ETIMEDOUT, _LOCKED_OUT.format(_LOCK_WAIT), path)


def _identity(info):
    return info and (info.st_dev, info.st_ino)


def _stat_or_none(*args, **kwargs):
    try:
        return os.stat(*args, **kwargs)
    except OSError:
        return None


def _forget_in_child():
    for lock in _opened:
        if lock.written is not None and _identity(_stat_or_none(lock.written)) == lock.key:
            null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
            os.dup2(null, lock.written, inheritable=False)  # every write of the child through it fails
            os.close(null)
        for fd in (lock.fd, lock.folder):
            if fd is not None:
                os.close(fd)  # only closed: an unlock would release the parent's lock as well
        lock.fd = lock.folder = lock.written = None
        lock.held = lock.folder_locked = lock.created = False
        lock.lost_at_fork = True
    _opened.clear()
    _opening.release()


os.register_at_fork(before=_opening.acquire, after_in_parent=_opening.release, after_in_child=_forget_in_child)


def _former_bytes(lock):
    # The locked file's bytes; _ABSENT for a file this save created, still
    # empty; None for nothing to put back (nothing locked)
    if lock.fd is None:
        return None
    size = os.fstat(lock.fd).st_size
    if lock.created and size == 0:
        return _ABSENT
    data = os.pread(lock.fd, size, 0)
    return data if len(data) == size else None


def _put_back(lock, former, error, opened=True):
    # into the locked file, whatever its path names by now; the bytes only
    # after this save's open(), which truncates (perhaps before it fails)
    if former is None or lock.fd is None or (former is not _ABSENT and not opened):
        return
    try:
        if former is _ABSENT:
            lock.remove_created()
        elif os.pread(lock.fd, len(former) + 1, 0) != former:  # else the open failed before it truncated
            view = memoryview(former)
            while view:
                view = view[os.pwrite(lock.fd, view, len(former) - len(view)):]
            os.ftruncate(lock.fd, len(former))
    except OSError as failure:
        error.add_note(_NOT_PUT_BACK.format(lock.path, failure.errno, failure.strerror))


def _mark(config, refusal):
    global _sweep_at
    if len(_marks) >= _sweep_at:
        for key in list(_marks):
            _mark_of_key(key)
        _sweep_at = max(_SWEEP_AT, 2 * len(_marks))
    try:
        _marks[id(config)] = refusal, weakref.ref(config)
    except TypeError:
        _marks[id(config)] = refusal, config  # held until read back, or until nothing else holds it
    return config


def _mark_of(config):
    return _mark_of_key(id(config))


def _mark_of_key(key):
    refusal, held = _marks.get(key, (None, None))
    if held is not None and (held() is None if type(held) is weakref.ref else sys.getrefcount(held) <= 3):
        del _marks[key]  # that parser is gone (only its mark held it); key may be a new one's address
        return None
    return refusal


# The store's messages, each written once: the helpers above use them, and
# the build takes the compiled methods' from these lines.  Each is a
# str.format() template on a line of its own, with no backslash or quote.

_CANNOT_STORE_SECTION_NAME = "cannot store section name {!r}: the INI file cannot carry {}"
_CANNOT_STORE_OPTION_NAME = "cannot store option name {!r}: the INI file cannot carry {}"
_CANNOT_STORE_VALUE = "cannot store value {!r}: the INI file cannot carry {}"
_CANNOT_STORE_VALUE_OF_OPTION = "cannot store value {!r} of option {!r}: the INI file cannot carry {}"
# What the file cannot carry, filled in above
_EMPTY_SECTION_NAME = "an empty section name"
_LINE_BREAK_IN_SECTION_NAME = "a line break in a section name"
_SURROGATE_IN_SECTION_NAME = "a lone surrogate (which UTF-8 cannot encode) in a section name"
_EMPTY_OPTION_NAME = "an empty option name"
_LINE_BREAK_IN_OPTION_NAME = "a line break in an option name"
_SURROGATE_IN_OPTION_NAME = "a lone surrogate (which UTF-8 cannot encode) in an option name"
_EQUALS_IN_OPTION_NAME = "'=' in an option name"
_COLON_IN_OPTION_NAME = "':' in an option name"
_COMMENT_OPTION_NAME = "an option name that starts with '#' or ';', which reads as a comment"
_HEADER_OPTION_NAME = "an option name that starts with '[', which can read as a section header"
_SPACE_AT_AN_END_OF_OPTION_NAME = "whitespace at either end of an option name"
_LONG_SPACE_RUN_IN_OPTION_NAME = "more than 16 whitespace characters in a row in an option name, which the parser reads back in quadratic time"
_CARRIAGE_RETURN_IN_VALUE = "a carriage return in a value"
_SURROGATE_IN_VALUE = "a lone surrogate (which UTF-8 cannot encode) in a value"
_COMMENT_LINE_IN_VALUE = "a value line after the first that starts with '#' or ';', which reads as a comment"
# An item that is not a pair
_TOO_MANY_VALUES = "too many values to unpack (expected 2)"
_NEED_MORE_VALUES = "need more than {} value{} to unpack"
# A save refused, since the store does not hold what the file holds
_EMPTIED = "the store was emptied by a save and not read back since (a save-and-reload in another thread does this too); saving now would overwrite the file with what is left: call _read() first"
# A save or read that cannot go on, and a failed save's file
_SAVE_INSIDE = "cannot save {!r} inside a save or read of it on the same thread (from a signal handler, or from the parser's own methods)"
_READ_INSIDE = "cannot read {!r} inside a save of it on the same thread (from a signal handler, or from the parser's own methods)"
_LOCKED_OUT = "gave up after {} seconds: another save or read holds the file"
_UNLOCKED = "ini_main: the file system of {!r} refuses file locks: stores of several processes that save the file there are not kept apart"
_FORKED_SAVE = "cannot finish saving {!r} in a child forked during the save: the file is its parent's to write"
_NOT_PUT_BACK = "ini_main: the former content of {!r} could not be put back ([Errno {}] {}); the file may be cut short"
_UNREAD = "the store does not hold its file: its last read did not complete or could not read the file; saving now would overwrite the file with what the store holds: call _read() first"
