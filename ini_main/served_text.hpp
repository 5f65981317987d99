// The text of "ini_main.py" in linecache's cache, so that the lines of the
// module's traceback entries print as the store's statements, and
// inspect.getsource finds a method from its code object.
#pragma once

namespace ini_main {

// At the end of the import; false with an exception set.
bool serve_source() noexcept;

// As a traceback entry is added, with its exception pending: serves the text
// again if the cache no longer holds it (a program cleared the cache, or
// another file took the name), importing linecache if no one has yet.  An
// ordinary error of that leaves the pending exception as it was; an
// interrupt (KeyboardInterrupt, SystemExit) replaces it, the former one its
// context.
void keep_source_served() noexcept;

}  // namespace ini_main
