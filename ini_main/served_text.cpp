#include "ini_main/served_text.hpp"

#include "ini_main/runtime.hpp"
#include "ini_main/store/text_lines.hpp"

#include <cstring>

namespace ini_main {

namespace {

// (size, None, lines, "ini_main.py"): a cache entry as linecache makes for a
// module's loader.  Its time None keeps it through linecache.checkcache, and
// a full entry is found before anything named "ini_main.py" in the working
// directory or on sys.path, which linecache would otherwise read.  Made once
// and kept; never changed.
PyObject* entry = nullptr;

// A str of printable ASCII, copied in without decoding (store/text_lines.hpp checks).
PyObject* ascii_text(std::string_view text) noexcept {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

bool make_entry() noexcept {
    if (entry) return true;
    std::string_view rest = store::source_text;
    Ref lines = Ref::steal(PyList_New(store::source_lines));
    if (!lines) return false;
    for (Py_ssize_t i = 0; i < store::source_lines; ++i) {
        const size_t end = rest.find('\n') + 1;  // each line with its line break, as linecache keeps them
        PyObject* line = ascii_text(rest.substr(0, end));
        if (!line) return false;
        PyList_SET_ITEM(lines.get(), i, line);
        rest.remove_prefix(end);
    }
    Ref size = Ref::steal(PyLong_FromSize_t(store::source_text.size()));
    if (!size) return false;
    entry = PyTuple_Pack(4, size.get(), Py_None, lines.get(), runtime.filename);
    return entry != nullptr;
}

// linecache.cache, of the linecache that sys.modules holds now.  A script
// run as a file does not import linecache until the interpreter prints its
// uncaught exception, with an empty cache then; so where it is absent,
// `import_absent` imports it (a failing call does, costing a successful call
// nothing).  Blocked with None, or not a module, it is left alone.  1 with
// `*cache` set; 0 when there is no cache to serve; -1 on an error.
int find_cache(PyObject** cache, bool import_absent) noexcept {
    if (Py_IsFinalizing()) return 0;  // sys.modules may be gone
    PyObject* module = nullptr;
    int got = PyDict_GetItemRef(PyImport_GetModuleDict(), names.linecache, &module);
    if (got < 0) return -1;
    if (got == 0) {
        if (!import_absent) return 0;
        module = PyImport_Import(names.linecache);
        if (!module) return -1;
    }
    Ref held = Ref::steal(module);
    if (!PyModule_Check(module)) return 0;
    // The module's own dictionary, where its attribute is found, at less cost
    // than an attribute lookup.
    PyObject* found = nullptr;
    got = PyDict_GetItemRef(PyModule_GetDict(module), names.cache, &found);
    if (got <= 0) return got;
    if (!PyDict_Check(found)) {
        Py_DECREF(found);
        return 0;
    }
    *cache = found;
    return 1;
}

// 0 once the cache holds the entry (or there is no cache), -1 on an error.
int serve(bool import_absent) noexcept {
    if (!make_entry()) return -1;
    PyObject* cache = nullptr;
    int found = find_cache(&cache, import_absent);
    if (found <= 0) return found;
    Ref held = Ref::steal(cache);
    PyObject* current = nullptr;
    if (PyDict_GetItemRef(cache, runtime.filename, &current) < 0) return -1;
    Py_XDECREF(current);  // only its identity matters, and `entry` is held
    if (current == entry) return 0;
    return PyDict_SetItem(cache, runtime.filename, entry);
}

}  // namespace

bool serve_source() noexcept { return serve(false) == 0; }

void keep_source_served() noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (serve(true) == 0) {
        PyErr_SetRaisedException(pending.release());
        return;
    }
    // The source lines only adorn the traceback: an ordinary error of serving
    // them (linecache that cannot be imported, no memory) is dropped and the
    // pending exception stays as it was.  An interrupt goes on, with the
    // pending exception as its context.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
        PyErr_SetRaisedException(pending.release());
        return;
    }
    PyException_SetContext(error.get(), pending.release());
    PyErr_SetRaisedException(error.release());
}

}  // namespace ini_main
