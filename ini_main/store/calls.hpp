// How the store's methods call: methods of the store and of its parser by
// name, through the vectorcall path, with no argument tuples.
#pragma once

#include "ini_main/method.hpp"
#include "ini_main/runtime.hpp"

namespace ini_main::store {

// obj.<name>(args..., **kw): the last PyTuple_GET_SIZE(kwnames) arguments
// are the keyword values.  The attribute is looked up on `obj` at each call,
// so a subclass's override or an instance attribute takes effect.
template <class... A>
Ref call_method_kw(PyObject* name, PyObject* kwnames, PyObject* obj, A... args) noexcept {
    // Slot 0 is spare so that the callee may use it (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[] = {nullptr, obj, args...};
    const size_t nargs = 1 + sizeof...(A) - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return Ref::steal(PyObject_VectorcallMethod(name, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <class... A>
Ref call_method(PyObject* name, PyObject* obj, A... args) noexcept {
    return call_method_kw(name, nullptr, obj, args...);
}

// self._config.<name>(args...), the parser fetched afresh.
template <class... A>
Ref call_parser(PyObject* self, PyObject* name, A... args) noexcept {
    Ref config = Ref::steal(PyObject_GetAttr(self, names._config));
    if (!config) return Ref();
    return call_method(name, config.get(), args...);
}

// The result of a method that hands back what it called, or its failure at `line`.
inline Outcome result_or_failed_at(Ref value, int line) noexcept {
    if (!value) return failed_at(line);
    return value;
}

// The end of every changing method: the truth test of `save` and, when it
// is true, the save-and-reload step (self._save(), self._read()).  Returns
// 0, or the line that failed.
int save_if_asked(PyObject* self, PyObject* save, SaveLines lines) noexcept;

}  // namespace ini_main::store
