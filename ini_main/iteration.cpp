#include "ini_main/iteration.hpp"

namespace ini_main {

namespace {

constexpr Py_ssize_t kPair = 2;

bool too_many() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", kPair);
    return false;
}

bool need_more(Py_ssize_t count) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
    return false;
}

// An exact-size check, then the two elements by index.
bool take_two(PyObject* sequence, Py_ssize_t size, PyObject* (*at)(PyObject*, Py_ssize_t),
              Ref& key, Ref& value) noexcept {
    if (size > kPair) return too_many();
    if (size < kPair) return need_more(size);
    key = Ref::newref(at(sequence, 0));
    value = Ref::newref(at(sequence, 1));
    return true;
}

PyObject* tuple_at(PyObject* tuple, Py_ssize_t i) noexcept { return PyTuple_GET_ITEM(tuple, i); }
PyObject* list_at(PyObject* list, Py_ssize_t i) noexcept { return PyList_GET_ITEM(list, i); }

}  // namespace

bool unpack_pair(PyObject* item, PairItems rule, Ref& key, Ref& value) noexcept {
    const bool tuple = rule == PairItems::any_tuple ? PyTuple_Check(item) : PyTuple_CheckExact(item);
    if (tuple) {
        return take_two(item, PyTuple_GET_SIZE(item), tuple_at, key, value);
    }
    if (rule == PairItems::exact_tuple_or_list && PyList_CheckExact(item)) {
        return take_two(item, PyList_GET_SIZE(item), list_at, key, value);
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) return false;
    Ref got[kPair];
    for (Py_ssize_t i = 0; i < kPair; ++i) {
        got[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!got[i]) return PyErr_Occurred() ? false : need_more(i);
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return too_many();
    if (PyErr_Occurred()) return false;
    key = std::move(got[0]);
    value = std::move(got[1]);
    return true;
}

}  // namespace ini_main
