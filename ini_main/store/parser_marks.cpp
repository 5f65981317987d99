#include "ini_main/store/parser_marks.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "ini_main/runtime.hpp"
#include "ini_main/store/file_lock.hpp"
#include "ini_main/store/messages.hpp"

namespace ini_main::store {

namespace {

PyObject* marked = nullptr;  // {id(parser): (Mark, weak reference to it, or the parser itself)}

// At this many marks, the marks of parsers that died, or that nothing but
// their mark holds, are swept out first.  The next sweep waits until the
// marks grew to twice what the last one left, so live marks are not walked
// at every save, and the marks stay within twice the live ones (and 64).
constexpr Py_ssize_t kSweepAt = limit("_SWEEP_AT");
Py_ssize_t sweep_at = kSweepAt;

Ref key_of(PyObject* config) noexcept { return Ref::steal(PyLong_FromVoidPtr(config)); }

// 1 while the marked parser lives on beyond its mark, 0 when it died (or
// only its mark holds it), -1 on error.
int alive(PyObject* held) noexcept {
    if (!PyWeakref_CheckRefExact(held)) return Py_REFCNT(held) > 1;  // held strongly
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(held, &target) < 0) return -1;
    Py_XDECREF(target);
    return target != nullptr;
}

// The Mark under `key`, 0 for none, -1 on error.  The mark of a parser that
// is gone is dropped: the key may be a new object's at the same address.
int mark_under(PyObject* key) noexcept {
    PyObject* found = nullptr;
    int present = PyDict_GetItemRef(marked, key, &found);
    if (present <= 0) return present;
    Ref mark = Ref::steal(found);  // released last: it may hold the parser's last reference
    int live = alive(PyTuple_GET_ITEM(mark.get(), 1));
    if (live == 0 && PyDict_Pop(marked, key, nullptr) < 0) return -1;
    return live <= 0 ? live : static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(mark.get(), 0)));
}

bool sweep() noexcept {
    // The keys are taken first: dropping a parser can run its finaliser,
    // which may mark or lift others.
    Ref keys = Ref::steal(PyDict_Keys(marked));
    if (!keys) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        if (mark_under(PyList_GET_ITEM(keys.get(), i)) < 0) return false;
    }
    sweep_at = std::max(kSweepAt, 2 * PyDict_GET_SIZE(marked));
    return true;
}

bool mark(PyObject* config, Mark why) noexcept {
    if (!marked && !(marked = PyDict_New())) return false;
    if (PyDict_GET_SIZE(marked) >= sweep_at && !sweep()) return false;
    Ref key = key_of(config);
    if (!key) return false;
    // A parser that cannot be weakly referenced is held until it is read
    // back, or until nothing else holds it.
    Ref held = Py_TYPE(config)->tp_weaklistoffset ? Ref::steal(PyWeakref_NewRef(config, nullptr))
                                                  : Ref::newref(config);
    Ref mark = held ? Ref::steal(Py_BuildValue("(iO)", static_cast<int>(why), held.get())) : Ref();
    return mark && PyDict_SetItem(marked, key.get(), mark.get()) == 0;
}

// 1 when a save can lose nothing at `path`: nothing is there, or a
// directory (which no save can open), or the path is no single file's (an
// iterable of paths, which no save can open either); 0 when a file may be
// there; -1 on error.
int nothing_at(PyObject* path) noexcept {
    const int one = names_one_file(path);
    if (one <= 0) return one < 0 ? -1 : 1;
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) return -1;
    Ref encoded = Ref::steal(converted);
    struct stat status;
    int found, error;
    Py_BEGIN_ALLOW_THREADS
    found = stat(PyBytes_AS_STRING(encoded.get()), &status) == 0;
    error = errno;
    Py_END_ALLOW_THREADS
    if (found) return S_ISDIR(status.st_mode);
    return errno_set("_NOTHING_THERE").holds(error);
}

// Whether a completed read, which returned `read_ok`, took the file in (or
// found none to take).  The parser's read returns the list of the files it
// read; an empty one means it passed over the file: it could not open it (no
// descriptor left, no permission, renamed away for a moment) or an OSError
// cut the read short.  A result that is not a list tells nothing, and the
// completed read counts.
int took_the_file(PyObject* read_ok, PyObject* path) noexcept {
    if (!PyList_Check(read_ok) || PyList_GET_SIZE(read_ok) > 0) return 1;
    return nothing_at(path);
}

}  // namespace

bool mark_emptied(PyObject* config) noexcept { return mark(config, kEmptied); }

bool mark_unread(PyObject* config) noexcept { return mark(config, kUnread); }

int is_emptied(PyObject* config) noexcept {
    if (!marked || PyDict_GET_SIZE(marked) == 0) return 0;
    Ref key = key_of(config);
    return key ? mark_under(key.get()) : -1;
}

void refuse_save(int mark) noexcept {
    raise_message(PyExc_RuntimeError, mark == kUnread ? message("_UNREAD") : message("_EMPTIED"));
}

bool lift_mark(PyObject* config, PyObject* read_ok, PyObject* path) noexcept {
    int marked_as = is_emptied(config);
    if (marked_as <= 0) return marked_as == 0;
    int took = took_the_file(read_ok, path);
    if (took <= 0) return took == 0;
    Ref key = key_of(config);
    return key && PyDict_Pop(marked, key.get(), nullptr) >= 0;
}

}  // namespace ini_main::store
