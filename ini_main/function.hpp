// The module's own function type: the objects that the class holds as its
// methods.  They bind like Python functions (descriptor, method-call path),
// are called through vectorcall, and introspect like Python functions.
#pragma once

#include "ini_main/describe.hpp"

namespace ini_main {

// Readies the type once per process.
bool ready_function_type() noexcept;

// A new method object for a described method, or null with an exception set.
Ref new_function(const Method& method) noexcept;

}  // namespace ini_main
