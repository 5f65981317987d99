// Construction, reading and saving: the four methods every other one rests on.
#include "ini_main/store/calls.hpp"
#include "ini_main/store/parser_marks.hpp"
#include "ini_main/store/file_lock.hpp"
#include "ini_main/store/former_content.hpp"
#include "ini_main/store/messages.hpp"
#include "ini_main/store/rows.hpp"

namespace ini_main::store {

namespace {

Ref none() noexcept { return Ref::newref(Py_None); }

Ref attribute(PyObject* obj, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name)); }

// writer(file), then file.close(), whether or not the write succeeded.
// Closing here rather than in the file's finaliser lets an error of the last
// flush (a full disk) reach the caller, before the parser is emptied, and
// makes sure no buffered text reaches the file after a restore.
bool write_and_close(PyObject* writer, PyObject* file) noexcept {
    Ref written = Ref::steal(PyObject_CallOneArg(writer, file));
    PyObject* write_error = written ? nullptr : PyErr_GetRaisedException();
    Ref closed = call_method(names.close, file);
    if (!write_error) return static_cast<bool>(closed);
    if (!closed) {
        // As a `finally: file.close()` would: the close error, its context the write error.
        PyObject* close_error = PyErr_GetRaisedException();
        PyException_SetContext(close_error, write_error);
        PyErr_SetRaisedException(close_error);
    } else {
        PyErr_SetRaisedException(write_error);
    }
    return false;
}

// The file work of a save, under the file lock: keep the former bytes,
// refuse an emptied parser, open (truncating), write, close.  Whatever fails
// or interrupts it once the file is opened, the former state goes back
// before the exception leaves.  The parser is marked emptied before the lock
// is released, so no other thread's save can slip in before the clear.
bool write_file(PyObject* config, PyObject* writer, PyObject* fspath) noexcept {
    FileLock lock;
    FormerContent former;
    if (!lock.take(fspath, FileLock::Use::save) || !former.take(lock)) return false;
    int emptied = is_emptied(config);
    if (emptied) {
        if (emptied > 0) refuse_save(emptied);
        former.restore(lock, false);  // a file this save created goes again
        return false;
    }
    PyObject* open_args[] = {nullptr, fspath, runtime.mode_w_plus, runtime.utf8_sig};
    Ref file = Ref::steal(PyObject_Vectorcall(runtime.open, open_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              runtime.kw_encoding));
    if (!file) {
        former.restore(lock, true);  // (the codec's set-up, Python code, runs after the truncation)
        return false;
    }
    Ref descriptor = call_method(names.fileno, file.get());
    const int fd = descriptor ? PyLong_AsInt(descriptor.get()) : -1;
    if (fd >= 0) lock.guard_writes(fd);
    const bool written = fd >= 0 && write_and_close(writer, file.get());
    lock.unguard_writes();
    file = Ref();
    if (lock.lost_at_fork()) {
        // A child forked while this wrote: what it wrote went nowhere, and
        // the file is its parent's to finish.
        PyObject* cause = PyErr_GetRaisedException();
        raise_message(PyExc_RuntimeError, message("_FORKED_SAVE"), fspath);
        PyObject* error = PyErr_GetRaisedException();
        if (cause) PyException_SetContext(error, cause);
        PyErr_SetRaisedException(error);
        return false;
    }
    if (!written) {
        former.restore(lock, true);
        return false;
    }
    return mark_emptied(config);
}

// reader(path, encoding="utf-8-sig"), the parser's read.
Ref parser_read(PyObject* reader, PyObject* path) noexcept {
    PyObject* read_args[] = {nullptr, path, runtime.utf8_sig};
    return Ref::steal(PyObject_Vectorcall(reader, read_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          runtime.kw_encoding));
}

// Takes the file lock for a read of `path`, when it names one file.  The
// parser also reads a list of files; those are read without the lock.
bool lock_one_file(FileLock& lock, PyObject* path) noexcept {
    const int one = names_one_file(path);
    if (one <= 0) return one == 0;
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    return fspath && lock.take(fspath.get(), FileLock::Use::read);
}

}  // namespace

// __init__(self, path)
Outcome init(Args a) noexcept {
    if (PyObject_SetAttr(a.self(), names._path, a[1]) < 0) return failed_at(row::init.at("self._path = path"));
    if (!call_method(names._set_path, a.self())) return failed_at(row::init.at("self._set_path()"));
    return none();
}

// _set_path(self): a fresh parser, then the file read into it
Outcome set_path(Args a) noexcept {
    Ref module = lookup_global(names.configparser);
    Ref parser_class = module ? attribute(module.get(), names.ConfigParser) : Ref();
    Ref parser = parser_class ? Ref::steal(PyObject_CallNoArgs(parser_class.get())) : Ref();
    // Marked before the read: only a read that completes and takes the file in lifts it.
    if (!parser || !mark_unread(parser.get()) || PyObject_SetAttr(a.self(), names._config, parser.get()) < 0) {
        return failed_at(row::set_path.at("ConfigParser()"));
    }
    if (!call_method(names._read, a.self())) return failed_at(row::set_path.at("self._read()"));
    return none();
}

// _read(self): self._config.read(self._path, encoding="utf-8-sig"), the
// parser's `read` looked up before `_path`, as that statement evaluates them
Outcome read(Args a) noexcept {
    Ref config = attribute(a.self(), names._config);
    Ref reader = config ? attribute(config.get(), names.read) : Ref();
    Ref path = reader ? attribute(a.self(), names._path) : Ref();
    if (!path) return failed_at(row::read.at("_read_file("));
    FileLock lock;  // no save writes the file while it is read, nor creates it
    if (!lock_one_file(lock, path.get())) return failed_at(row::read.at("_read_file("));
    Ref done = parser_read(reader.get(), path.get());
    // Only a read that completed, and took the file in, makes a marked parser whole again.
    if (!done || !lift_mark(config.get(), done.get(), path.get())) return failed_at(row::read.at("_read_file("));
    return none();
}

// _save(self): self._config.write(open(self._path, "w+", encoding="utf-8-sig")),
// then self._config.clear()
Outcome save(Args a) noexcept {
    // In that statement's order: `write` is looked up before the file is
    // opened, so a store whose parser cannot write leaves the file untouched.
    Ref config = attribute(a.self(), names._config);
    Ref writer = config ? attribute(config.get(), names.write) : Ref();
    Ref path = writer ? attribute(a.self(), names._path) : Ref();
    // The path is converted once; an error of that is the caller's.
    Ref fspath = path ? Ref::steal(PyOS_FSPath(path.get())) : Ref();
    if (!fspath || !write_file(config.get(), writer.get(), fspath.get())) {
        return failed_at(row::save.at("_write_whole_file("));
    }
    Ref emptied = attribute(a.self(), names._config);
    if (!emptied || (emptied.get() != config.get() && !mark_emptied(emptied.get()))
        || !call_method(names.clear, emptied.get())) {
        return failed_at(row::save.at(".clear()"));
    }
    return none();
}

}  // namespace ini_main::store
