// Process-wide state: written only by the module's create and exec steps,
// read by every method call afterwards.
#pragma once

#include "ini_main/ref.hpp"

#include <cstdint>

namespace ini_main {

// The source file that code objects and traceback entries name.
inline constexpr const char* kFileName = "ini_main.py";

struct Names {
#define NAME(field, text) PyObject* field;
#include "ini_main/names.def"
#undef NAME
};

// Interned identifiers; valid once make_names() has succeeded.
extern Names names;

struct Runtime {
    bool interpreter_recorded;
    int64_t interpreter_id;
    PyObject* module;        // held from the start of a successful exec step on
    PyObject* globals;       // the module's namespace: every method's globals
    PyObject* builtins;
    PyObject* open;          // builtins.open as found at import
    PyObject* save_defaults; // (True,), shared by every method with `save`
    PyObject* kw_encoding;   // ("encoding",)
    PyObject* kw_save;       // ("save",)
    PyObject* filename;      // "ini_main.py"
    PyObject* utf8_sig;      // "utf-8-sig"
    PyObject* mode_w_plus;   // "w+"
    PyObject* empty;         // "": the names of a method object that was cleared
};

extern Runtime runtime;

// Makes the interned names and text constants once; later calls do nothing.
bool make_names() noexcept;

// NameError "name '...' is not defined" for `name`.
void raise_name_error(PyObject* name) noexcept;

// A module global, looked up afresh: the module's namespace first, then the
// builtins; NameError when neither has it.
Ref lookup_global(PyObject* name) noexcept;

}  // namespace ini_main
