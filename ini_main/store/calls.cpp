#include "ini_main/store/calls.hpp"

namespace ini_main::store {

int save_if_asked(PyObject* self, PyObject* save, SaveLines lines) noexcept {
    int truth = PyObject_IsTrue(save);
    if (truth < 0) return lines.test;
    if (!truth) return 0;
    if (!call_method(names._save, self)) return lines.save;
    if (!call_method(names._read, self)) return lines.read;
    return 0;
}

}  // namespace ini_main::store
