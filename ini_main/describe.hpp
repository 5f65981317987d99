// Method description: what import makes of each row of the method table.
#pragma once

#include "ini_main/binding.hpp"

namespace ini_main {

// A store method as described at import: its row, what binding needs, its
// traceback name, and the objects its method object starts with.  Made once
// per process and kept for good.
struct Method {
    const MethodDef* def;
    Signature signature;
    char traceback_name[64];  // "ini_main.TovrelIniMain._get"
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* varnames;
    PyObject* code;
};

// methods()[i] describes method_table[i].
std::span<Method> methods() noexcept;

// Signatures, names, docstrings and variable names of every method.  A
// method is kept only once all its parts were made, so a retry after a
// failure (out of memory) neither leaks nor keeps half-made parts.
bool describe_methods() noexcept;

// The code objects, once the methods are described.
bool make_code_objects() noexcept;

}  // namespace ini_main
