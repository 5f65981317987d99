// Construction, reading and saving: the four methods every other one rests on.
#include "ini_main/store/bodies.hpp"
#include "ini_main/store/calls.hpp"
#include "ini_main/store/former_content.hpp"

namespace ini_main::store {

namespace {

Ref none() noexcept { return Ref::newref(Py_None); }

// parser.write(file), then file.close(), whether or not the write succeeded.
// Closing here rather than in the file's finaliser lets an error of the last
// flush (a full disk) reach the caller, before the parser is emptied.
bool write_and_close(PyObject* config, PyObject* file) noexcept {
    Ref written = call_method(names.write, config, file);
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

}  // namespace

// __init__(self, path)
Outcome init(Args a) noexcept {
    if (PyObject_SetAttr(a.self(), names._path, a[1]) < 0) return failed_at(22);
    if (!call_method(names._set_path, a.self())) return failed_at(23);
    return none();
}

// _set_path(self): a fresh parser, then the file read into it
Outcome set_path(Args a) noexcept {
    Ref module = lookup_global(names.configparser);
    Ref parser_class = module ? Ref::steal(PyObject_GetAttr(module.get(), names.ConfigParser)) : Ref();
    Ref parser = parser_class ? Ref::steal(PyObject_CallNoArgs(parser_class.get())) : Ref();
    if (!parser || PyObject_SetAttr(a.self(), names._config, parser.get()) < 0) return failed_at(51);
    if (!call_method(names._read, a.self())) return failed_at(52);
    return none();
}

// _read(self): self._config.read(self._path, encoding="utf-8-sig")
Outcome read(Args a) noexcept {
    Ref config = Ref::steal(PyObject_GetAttr(a.self(), names._config));
    Ref path = config ? Ref::steal(PyObject_GetAttr(a.self(), names._path)) : Ref();
    if (!path || !call_method_kw(names.read, runtime.kw_encoding, config.get(), path.get(), runtime.utf8_sig)) {
        return failed_at(134);
    }
    return none();
}

// _save(self): the whole parser written to the file, then the parser emptied
Outcome save(Args a) noexcept {
    // The parser is fetched before the file is opened: a store without one
    // fails here without truncating the file.
    Ref config = Ref::steal(PyObject_GetAttr(a.self(), names._config));
    Ref path = config ? Ref::steal(PyObject_GetAttr(a.self(), names._path)) : Ref();
    if (!path) return failed_at(137);
    const FormerContent former = FormerContent::take(path.get());
    PyObject* open_args[] = {nullptr, path.get(), runtime.mode_w_plus, runtime.utf8_sig};
    Ref file = Ref::steal(PyObject_Vectorcall(runtime.open, open_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              runtime.kw_encoding));
    if (!file) return failed_at(137);
    if (!write_and_close(config.get(), file.get())) {
        former.restore();
        return failed_at(137);
    }
    file = Ref();
    if (!call_parser(a.self(), names.clear)) return failed_at(138);
    return none();
}

}  // namespace ini_main::store
