// The bytes a file held before a save.  Opening with "w+" truncates the file
// before the parser writes a byte, so a write that fails part-way would leave
// a cut-off file; with the former bytes kept, the file gets them back.
#pragma once

#include "ini_main/ref.hpp"

namespace ini_main::store {

class FormerContent {
public:
    // Reads the regular file at `path` (str, bytes or path-like).  Anything
    // else, or a file that cannot be read, gives nothing to restore; no
    // exception is left set either way.
    static FormerContent take(PyObject* path) noexcept;

    // Writes the bytes back, keeping the pending exception as it is; a
    // failure to restore is not reported over the error that made it needed.
    void restore() const noexcept;

private:
    Ref filename_;  // bytes, from the file system encoding
    Ref content_;   // bytes
};

}  // namespace ini_main::store
