// What keeps a save from losing the file: the mark of a parser that a save
// has emptied.
#pragma once

#include "ini_main/ref.hpp"

namespace ini_main::store {

// The mark of an emptied parser: set once its file has been written and
// before it is cleared, lifted when a read into it completes.  A marked
// parser must not be saved: the file would lose what the clear removed.
// Kept outside the parser (parsers are unhashable): keyed by identity and
// held by a weak reference, so a marked parser that dies leaves no trace.
bool mark_emptied(PyObject* config) noexcept;   // false with an exception set
int is_emptied(PyObject* config) noexcept;      // 1, 0, or -1 with an exception set
bool lift_mark(PyObject* config) noexcept;      // false with an exception set

}  // namespace ini_main::store
