// Argument binding: the one binder every method uses.
#pragma once

#include "ini_main/method.hpp"

namespace ini_main {

struct Signature {
    const char* name;             // bare method name, as argument messages show it
    PyObject* params[kMaxParams]; // interned parameter names; params[0] is self
    int total;                    // N: number of parameters
    int required;                 // R: N, or N - 1 when the last one is `save`
    bool has_save() const noexcept { return required != total; }
};

// The bound arguments, params[0 .. total-1] in order, borrowed.  When the
// caller's vector holds every parameter in order already (all given by
// position, or the trailing ones by keyword in parameter order, as Python
// source usually writes them), that vector itself; otherwise bind_into fills
// `slots` by the full rules, binding an absent `save` to the True object, or
// raises the binding error and returns null.
PyObject* const* bind_into(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots) noexcept;

inline PyObject* const* bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PyObject** slots) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw == sig.total) {
        Py_ssize_t k = 0;
        while (k < nkw && PyTuple_GET_ITEM(kwnames, k) == sig.params[nargs + k]) ++k;
        if (k == nkw) return args;
    }
    return bind_into(sig, args, nargs, kwnames, slots);
}

}  // namespace ini_main
