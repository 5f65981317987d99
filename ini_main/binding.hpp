// Argument binding: the one binder every method uses.
#pragma once

#include "ini_main/method.hpp"

namespace ini_main {

struct Signature {
    const char* name;             // bare method name, as argument messages show it
    PyObject* params[kMaxParams]; // interned parameter names; params[0] is self
    int total;                    // N: number of parameters
    int required;                 // R: N, or N - 1 when the last one is `save`
};

// Fills slots[0 .. total-1] with borrowed references, or raises the binding
// error and returns false.  An absent `save` is the True object.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** slots) noexcept;

}  // namespace ini_main
