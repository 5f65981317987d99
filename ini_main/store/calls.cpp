#include "ini_main/store/calls.hpp"

namespace ini_main {

int save_if_asked(PyObject* self, PyObject* save, int test_line) noexcept {
    int truth = PyObject_IsTrue(save);
    if (truth < 0) return test_line;
    if (!truth) return 0;
    if (!call_method(names._save, self)) return test_line + 1;
    if (!call_method(names._read, self)) return test_line + 2;
    return 0;
}

}  // namespace ini_main
