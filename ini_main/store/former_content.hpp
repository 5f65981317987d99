// What a file held before a save.  Opening with "w+" truncates the file
// before the parser writes a byte, and an interrupt or a failing writer can
// stop the save anywhere after that; with the former state kept, the file
// gets it back, so it ends as it was or complete, never cut short.
#pragma once

#include "ini_main/ref.hpp"
#include "ini_main/store/file_lock.hpp"

namespace ini_main::store {

class FormerContent {
public:
    // Reads the bytes of the file that `lock` holds for the save, through
    // its descriptor.  A file that this save created (still empty) is
    // remembered as absent; nothing is kept when nothing is locked (a FIFO, a
    // device, no file the store can open).  False with an exception set when
    // the bytes cannot be held.
    bool take(const FileLock& lock) noexcept;

    // Puts the former state back into the file that was locked, whatever its
    // path names by now: no file where there was none, and the bytes when
    // this save `opened` (and so truncated) the file; a file this save did
    // not open holds no change of its.  Keeps the pending exception, and
    // adds a note to it when the file differs from its former state and
    // cannot be given it back.
    void restore(const FileLock& lock, bool opened) const noexcept;

private:
    Ref content_;  // bytes; null when there is nothing to restore
    bool absent_ = false;
};

}  // namespace ini_main::store
