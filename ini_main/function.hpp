// The module's own function type: the objects that the class holds as its
// methods.  They bind like Python functions (descriptor, method-call path),
// are called through vectorcall, and introspect like Python functions.
#pragma once

#include "ini_main/binding.hpp"

namespace ini_main {

// What a method object needs at every call, made once at import.
struct MethodFrame {
    const MethodDef* def;
    Signature signature;
    char traceback_name[64];  // "ini_main.TovrelIniMain._get"
};

// Readies the type once per process.
bool ready_function_type() noexcept;

struct FunctionParts {
    PyObject* name;      // __name__
    PyObject* qualname;  // __qualname__
    PyObject* doc;       // __doc__
    PyObject* module;    // __module__
    PyObject* globals;   // __globals__
    PyObject* code;      // __code__
    PyObject* defaults;  // __defaults__, or null for None
};

// A new method object, or null with an exception set.
Ref new_function(const MethodFrame* frame, const FunctionParts& parts) noexcept;

}  // namespace ini_main
