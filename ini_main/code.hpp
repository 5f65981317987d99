// The code objects that make each method introspect like a Python function.
#pragma once

#include "ini_main/method.hpp"

namespace ini_main {

// A code object of file "ini_main.py" named `name` with the given variable
// names (the first `argcount` are arguments) whose location table maps one
// instruction to each of the method's statement lines.  Never run.
Ref make_code(const MethodDef& def, PyObject* name, PyObject* varnames, int argcount) noexcept;

}  // namespace ini_main
