#include "ini_main/store/file_guard.hpp"

#include "ini_main/runtime.hpp"

namespace ini_main::store {

namespace {

PyObject* marked = nullptr;     // {id(parser): weak reference to it, or the parser itself}

// Above this many marks, the marks of parsers that died are swept out first.
constexpr Py_ssize_t kSweepAt = 64;

Ref key_of(PyObject* config) noexcept { return Ref::steal(PyLong_FromVoidPtr(config)); }

// 1 when the mark belongs to a live object, 0 when its parser died, -1 on error.
int alive(PyObject* mark) noexcept {
    if (!PyWeakref_CheckRefExact(mark)) return 1;  // held strongly
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(mark, &target) < 0) return -1;
    Py_XDECREF(target);
    return target != nullptr;
}

bool sweep() noexcept {
    Ref dead = Ref::steal(PyList_New(0));
    if (!dead) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* mark;
    while (PyDict_Next(marked, &pos, &key, &mark)) {
        int live = alive(mark);
        if (live < 0 || (!live && PyList_Append(dead.get(), key) < 0)) return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dead.get()); ++i) {
        if (PyDict_DelItem(marked, PyList_GET_ITEM(dead.get(), i)) < 0) return false;
    }
    return true;
}

}  // namespace

bool mark_emptied(PyObject* config) noexcept {
    if (!marked && !(marked = PyDict_New())) return false;
    if (PyDict_GET_SIZE(marked) >= kSweepAt && !sweep()) return false;
    Ref key = key_of(config);
    if (!key) return false;
    // A parser that cannot be weakly referenced is held until it is read back.
    Ref mark = Py_TYPE(config)->tp_weaklistoffset ? Ref::steal(PyWeakref_NewRef(config, nullptr))
                                                  : Ref::newref(config);
    return mark && PyDict_SetItem(marked, key.get(), mark.get()) == 0;
}

int is_emptied(PyObject* config) noexcept {
    if (!marked || PyDict_GET_SIZE(marked) == 0) return 0;
    Ref key = key_of(config);
    if (!key) return -1;
    PyObject* found = nullptr;
    int present = PyDict_GetItemRef(marked, key.get(), &found);
    if (present <= 0) return present;
    Ref mark = Ref::steal(found);
    // A dead parser's mark, and `config` a new object at its address.
    int live = alive(mark.get());
    if (live == 0 && PyDict_DelItem(marked, key.get()) < 0) return -1;
    return live;
}

bool lift_mark(PyObject* config) noexcept {
    if (!marked || PyDict_GET_SIZE(marked) == 0) return true;
    Ref key = key_of(config);
    return key && PyDict_Pop(marked, key.get(), nullptr) >= 0;
}

}  // namespace ini_main::store
