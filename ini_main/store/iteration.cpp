#include "ini_main/store/iteration.hpp"

#include "ini_main/store/messages.hpp"

namespace ini_main::store {

namespace {

constexpr Py_ssize_t kPair = 2;

// The messages of a `for a, b in` statement's unpacking, which the text's
// walk raises too.
bool too_many() noexcept { return raise_message(PyExc_ValueError, message("_TOO_MANY_VALUES")); }

bool need_more(Py_ssize_t count) noexcept {
    Ref got = Ref::steal(PyLong_FromSsize_t(count));
    Ref plural = message_text(count == 1 ? "" : "s");
    return got && plural && raise_message(PyExc_ValueError, message("_NEED_MORE_VALUES"), got.get(), plural.get());
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

}  // namespace ini_main::store
