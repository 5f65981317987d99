// What a file held before a save.  Opening with "w+" truncates the file
// before the parser writes a byte, and an interrupt or a failing writer can
// stop the save anywhere after that; with the former state kept, the file
// gets it back, so it ends as it was or complete, never cut short.
#pragma once

#include "ini_main/ref.hpp"

namespace ini_main::store {

class FormerContent {
public:
    // Reads the regular file at `fspath` (str or bytes, as os.fspath gives
    // it) without ever blocking: a FIFO, socket or device is not opened and
    // gives nothing to restore, nor does a file the store cannot read.  A
    // missing file is remembered as missing.  False with an exception set
    // when the name cannot be encoded or the bytes cannot be held.
    bool take(PyObject* fspath) noexcept;

    // Puts the former state back: the bytes, or no file where there was
    // none.  Keeps the pending exception, and when the restore fails adds a
    // note to it that says so and why.
    void restore() const noexcept;

private:
    Ref filename_;  // bytes, from the file system encoding
    Ref content_;   // bytes; null when there is nothing to restore
    bool absent_ = false;
};

}  // namespace ini_main::store
