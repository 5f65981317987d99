// Traceback entries: a record in the pending exception's traceback for a
// function of "ini_main.py" at a given line.
#pragma once

#include "ini_main/ref.hpp"

namespace ini_main {

// Adds one entry to the pending exception.  `funcname` must outlive the
// process (its address keys the cache of code objects).  If the entry cannot
// be made, the new error replaces the pending one.
void add_traceback(const char* funcname, int line) noexcept;

}  // namespace ini_main
