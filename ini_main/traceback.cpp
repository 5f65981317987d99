#include "ini_main/traceback.hpp"

#include "ini_main/runtime.hpp"
#include "ini_main/served_text.hpp"

#include <frameobject.h>

namespace ini_main {

namespace {

// Empty code objects, one per (function name, line), made on first use and
// kept: a failing call then costs a frame and a traceback record only.
struct CachedCode {
    const char* funcname;
    int line;
    PyObject* code;
};

constexpr int kCacheSize = 256;  // well above the number of distinct entries
CachedCode cache[kCacheSize];
int cached = 0;

Ref code_for(const char* funcname, int line) noexcept {
    for (int i = 0; i < cached; ++i) {
        if (cache[i].funcname == funcname && cache[i].line == line) return Ref::newref(cache[i].code);
    }
    // The code object's first line is the entry's line; a fresh frame of it
    // reports that line.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kFileName, funcname, line)));
    if (code && cached < kCacheSize) cache[cached++] = {funcname, line, Py_NewRef(code.get())};
    return code;
}

}  // namespace

void add_traceback(const char* funcname, int line) noexcept {
    // Set aside while the code object is made; if that fails, its error
    // replaces the pending one.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref code = code_for(funcname, line);
    if (!code) return;
    PyErr_SetRaisedException(pending.release());
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), runtime.globals, nullptr)));
    if (!frame) return;
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) == 0) keep_source_served();
}

}  // namespace ini_main
