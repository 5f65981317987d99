#include "ini_main/binding.hpp"

#include <cstring>

namespace ini_main {

namespace {

void count_error(const Signature& sig, Py_ssize_t given) noexcept {
    const char* word = "exactly";
    Py_ssize_t expected = sig.total;
    if (sig.required != sig.total) {
        if (given < sig.required) {
            word = "at least";
            expected = sig.required;
        } else {
            word = "at most";
        }
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, word, expected, expected == 1 ? "" : "s", given);
}

// Same hash, length, width and code units: an exact str against an interned name.
bool same_text(PyObject* key, PyObject* param) noexcept {
    Py_hash_t hash = PyObject_Hash(key);  // cached in the str; cannot fail for an exact str
    return hash == PyObject_Hash(param)
        && PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(param)
        && PyUnicode_KIND(key) == PyUnicode_KIND(param)
        && memcmp(PyUnicode_DATA(key), PyUnicode_DATA(param),
                  PyUnicode_GET_LENGTH(key) * PyUnicode_KIND(key)) == 0;
}

// Index of the parameter in [from, to) that the keyword names, -1 for none,
// -2 when a comparison raised.
int find_param(const Signature& sig, PyObject* key, bool exact, int from, int to) noexcept {
    for (int i = from; i < to; ++i) {
        if (exact) {
            if (same_text(key, sig.params[i])) return i;
        } else {
            int equal = PyObject_RichCompareBool(key, sig.params[i], Py_EQ);
            if (equal < 0) return -2;
            if (equal) return i;
        }
    }
    return -1;
}

}  // namespace

PyObject* const* bind_into(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots) noexcept {
    const bool has_save = sig.required != sig.total;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < sig.required || nargs > sig.total) {
            count_error(sig, nargs);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
        if (has_save && nargs < sig.total) slots[sig.total - 1] = Py_True;
        return slots;
    }
    if (nargs > sig.total) {
        count_error(sig, nargs);
        return nullptr;
    }

    const int n = static_cast<int>(nargs);
    for (int i = 0; i < n; ++i) slots[i] = args[i];
    for (int i = n; i < sig.total; ++i) slots[i] = nullptr;

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        int index = -1;
        for (int i = n; i < sig.total; ++i) {
            if (sig.params[i] == key) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
                return nullptr;
            }
            const bool exact = PyUnicode_CheckExact(key);
            index = find_param(sig, key, exact, n, sig.total);
            if (index == -1) {
                int earlier = find_param(sig, key, exact, 0, n);
                if (earlier == -2) return nullptr;
                if (earlier >= 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                                 sig.name, key);
                } else {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 sig.name, key);
                }
                return nullptr;
            }
            if (index == -2) return nullptr;
        }
        slots[index] = value;
    }

    if (has_save && !slots[sig.total - 1]) slots[sig.total - 1] = Py_True;
    for (int i = n; i < sig.required; ++i) {
        if (!slots[i]) {
            count_error(sig, i);
            return nullptr;
        }
    }
    return slots;
}

}  // namespace ini_main
