#include "ini_main/runtime.hpp"

namespace ini_main {

Names names;
Runtime runtime;

namespace {

bool intern(PyObject*& slot, const char* text) noexcept {
    if (slot) return true;
    slot = PyUnicode_InternFromString(text);
    return slot && PyObject_Hash(slot) != -1;
}

bool text(PyObject*& slot, const char* value) noexcept {
    if (slot) return true;
    slot = PyUnicode_FromString(value);
    return slot && PyObject_Hash(slot) != -1;
}

bool one_name_tuple(PyObject*& slot, PyObject* name) noexcept {
    if (!slot) slot = PyTuple_Pack(1, name);
    return slot != nullptr;
}

}  // namespace

bool make_names() noexcept {
#define NAME(field, value) if (!intern(names.field, value)) return false;
#include "ini_main/names.def"
#undef NAME
    return text(runtime.filename, kFileName)
        && text(runtime.utf8_sig, "utf-8-sig")
        && text(runtime.mode_w_plus, "w+")
        && text(runtime.empty, "")
        && one_name_tuple(runtime.kw_encoding, names.encoding)
        && one_name_tuple(runtime.kw_save, names.save);
}

void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref lookup_global(PyObject* name) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(runtime.globals, name, &found) > 0) return Ref::steal(found);
    PyErr_Clear();  // an error of the namespace lookup counts as absent
    if (PyObject_GetOptionalAttr(runtime.builtins, name, &found) == 0) raise_name_error(name);
    return Ref::steal(found);
}

}  // namespace ini_main
