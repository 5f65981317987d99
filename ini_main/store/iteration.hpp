// Walking iterables the way a `for` statement does, and taking items apart
// into pairs.  The lookups walk what the parser's `items` returns; the bulk
// writes walk the dictionaries they are given.
#pragma once

#include "ini_main/runtime.hpp"

namespace ini_main::store {

enum class Walk {
    done,
    failed,         // the walk itself failed: iterating, unpacking, `items`
    action_failed,  // the action failed and has said where
};

// Which items are taken apart by index rather than iterated.  The lookups
// index exact tuples and lists; the dictionary walk indexes every tuple,
// subclasses included, and iterates everything else.
enum class PairItems { exact_tuple_or_list, any_tuple };

// Unpacks `item` into exactly two values, or raises the unpack errors.
bool unpack_pair(PyObject* item, PairItems rule, Ref& key, Ref& value) noexcept;

// Exact lists and tuples are walked by index, their length re-read before
// each step; anything else through its iterator.  `action(item)` returns
// false with an exception set when it fails.
template <class Action>
Walk for_each(PyObject* iterable, Action&& action) noexcept {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        const bool list = PyList_CheckExact(iterable);
        for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(iterable) : PyTuple_GET_SIZE(iterable)); ++i) {
            // Held for the step: the action may run code that shrinks the list.
            Ref item = Ref::newref(list ? PyList_GET_ITEM(iterable, i) : PyTuple_GET_ITEM(iterable, i));
            if (!action(item.get())) return Walk::action_failed;
        }
        return Walk::done;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return Walk::failed;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) return PyErr_Occurred() ? Walk::failed : Walk::done;
        if (!action(item.get())) return Walk::action_failed;
    }
}

// for_each over items taken apart into pairs: `action(key, value)`.
template <class Action>
Walk for_each_pair(PyObject* iterable, PairItems rule, Action&& action) noexcept {
    bool unpacked = true;
    Walk walk = for_each(iterable, [&](PyObject* item) {
        Ref key, value;
        if (!unpack_pair(item, rule, key, value)) {
            unpacked = false;
            return false;
        }
        return action(key.get(), value.get());
    });
    return unpacked ? walk : Walk::failed;
}

// The pairs of a dictionary argument: an exact dict in place (its size
// checked before every step), anything else through its `items()`.
template <class Action>
Walk for_each_item(PyObject* mapping, Action&& action) noexcept {
    if (mapping == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
        return Walk::failed;
    }
    if (PyDict_CheckExact(mapping)) {
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        for (;;) {
            if (PyDict_GET_SIZE(mapping) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return Walk::failed;
            }
            if (!PyDict_Next(mapping, &pos, &key, &value)) return Walk::done;
            Ref held_key = Ref::newref(key);
            Ref held_value = Ref::newref(value);
            if (!action(held_key.get(), held_value.get())) return Walk::action_failed;
        }
    }
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(mapping, names.items));
    if (!items) return Walk::failed;
    return for_each_pair(items.get(), PairItems::any_tuple, action);
}

}  // namespace ini_main::store
