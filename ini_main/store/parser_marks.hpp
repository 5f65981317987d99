// What keeps a save from losing the file: the mark of a parser that does
// not hold its file.
#pragma once

#include "ini_main/ref.hpp"

namespace ini_main::store {

// The mark of a parser that does not hold its file, so must not be saved:
// the file would lose what the parser lacks.  A save marks the parser it
// emptied (before the clear); `_set_path` marks its fresh parser before the
// read.  Only a read that completed and took the file in (or found no file
// to take) lifts the mark.  Kept outside the parser (parsers are
// unhashable): keyed by identity and held by a weak reference, or strongly
// by a parser that takes none, until nothing else holds it.
enum Mark : int { kEmptied = 1, kUnread = 2 };
bool mark_emptied(PyObject* config) noexcept;   // false with an exception set
bool mark_unread(PyObject* config) noexcept;    // false with an exception set
int is_emptied(PyObject* config) noexcept;      // the Mark, 0 for none, or -1 with an exception set
void refuse_save(int mark) noexcept;            // sets the RuntimeError that says why
// After the parser's `read(path)` returned `read_ok`: false with an exception set.
bool lift_mark(PyObject* config, PyObject* read_ok, PyObject* path) noexcept;

}  // namespace ini_main::store
