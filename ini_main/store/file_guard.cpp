#include "ini_main/store/file_guard.hpp"

#include "ini_main/runtime.hpp"

namespace ini_main::store {

namespace {

PyObject* file_lock = nullptr;  // a _thread.RLock, made at the first use and kept
PyObject* marked = nullptr;     // {id(parser): weak reference to it, or the parser itself}

// Above this many marks, the marks of parsers that died are swept out first.
constexpr Py_ssize_t kSweepAt = 64;

bool ready_lock() noexcept {
    if (file_lock) return true;
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    Ref lock = thread ? Ref::steal(PyObject_CallMethod(thread.get(), "RLock", nullptr)) : Ref();
    // A child made by os.fork() gets the lock in whatever state the parent's
    // other threads left it: it starts the child over unheld.
    Ref os = lock ? Ref::steal(PyImport_ImportModule("os")) : Ref();
    Ref reinit = os ? Ref::steal(PyObject_GetAttrString(lock.get(), "_at_fork_reinit")) : Ref();
    Ref register_at_fork = reinit ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : Ref();
    Ref kwargs = register_at_fork ? Ref::steal(Py_BuildValue("{sO}", "after_in_child", reinit.get())) : Ref();
    Ref no_args = kwargs ? Ref::steal(PyTuple_New(0)) : Ref();
    if (!no_args || !Ref::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get()))) return false;
    file_lock = lock.release();
    return true;
}

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

FileLock::FileLock() noexcept {
    if (!ready_lock()) return;
    // Blocks with the interpreter's lock released; a signal handler's
    // exception (KeyboardInterrupt) ends the wait.
    held_ = static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(file_lock, names.acquire)));
}

FileLock::~FileLock() {
    if (!held_) return;
    PyObject* pending = PyErr_GetRaisedException();
    // Releasing a lock this thread holds does not fail.
    if (!Ref::steal(PyObject_CallMethodNoArgs(file_lock, names.release))) PyErr_WriteUnraisable(file_lock);
    PyErr_SetRaisedException(pending);
}

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
