// The cheapest C forwarder a store method could be, for the benchmarks only:
// each method fetches self._config and calls the parser's method of the
// same name with the same positional arguments, nothing else.  A type with
// METH_FASTCALL methods is what the interpreter's specialised method-call
// path serves best, so this is the floor for a method written in C.
//
// Also the callgrind client requests that benchmarks/callgrind.py uses to
// count the instructions of one loop at a time.  Built by harness.py into
// benchmarks/build/, never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#define RUNNING_ON_VALGRIND 0
#endif

namespace {

PyObject* config_name;  // "_config"
PyObject* has_section;
PyObject* has_option;
PyObject* sections;
PyObject* options;
PyObject* get;

template <PyObject** ParserMethod>
PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "the forwarder takes at most two arguments");
        return nullptr;
    }
    PyObject* config = PyObject_GetAttr(self, config_name);
    if (!config) return nullptr;
    PyObject* stack[4] = {nullptr, config};  // slot 0 spare: PY_VECTORCALL_ARGUMENTS_OFFSET
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[2 + i] = args[i];
    PyObject* result = PyObject_VectorcallMethod(*ParserMethod, stack + 1,
                                                 (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(config);
    return result;
}

template <PyObject** ParserMethod>
constexpr PyMethodDef method(const char* name) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(forward<ParserMethod>)),
            METH_FASTCALL, nullptr};
}

PyMethodDef forwarder_methods[] = {
    method<&has_section>("_has_section"),
    method<&has_option>("_has_option"),
    method<&sections>("_sections"),
    method<&options>("_options"),
    method<&get>("_get"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot forwarder_slots[] = {
    {Py_tp_methods, forwarder_methods},
    {0, nullptr},
};

PyType_Spec forwarder_spec = {
    "_forwarder.Forwarder", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, forwarder_slots,
};

PyObject* zero_stats(PyObject*, PyObject*) noexcept {
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

PyObject* dump_stats(PyObject*, PyObject* label) noexcept {
    const char* text = PyUnicode_AsUTF8(label);
    if (!text) return nullptr;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

PyObject* on_valgrind(PyObject*, PyObject*) noexcept { return PyBool_FromLong(RUNNING_ON_VALGRIND); }

PyMethodDef module_functions[] = {
    {"zero_stats", zero_stats, METH_NOARGS, "Zero callgrind's counters."},
    {"dump_stats", dump_stats, METH_O, "Dump callgrind's counters since the last zero, under a label."},
    {"on_valgrind", on_valgrind, METH_NOARGS, "Whether the process runs under valgrind."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_forwarder", "Benchmark-only C forwarder.", -1, module_functions,
    nullptr, nullptr, nullptr, nullptr,
};

bool intern(PyObject*& slot, const char* text) noexcept {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

}  // namespace

PyMODINIT_FUNC PyInit__forwarder() {
    if (!intern(config_name, "_config") || !intern(has_section, "has_section") || !intern(has_option, "has_option")
        || !intern(sections, "sections") || !intern(options, "options") || !intern(get, "get")) {
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    if (PyModule_Add(module, "Forwarder", PyType_FromSpec(&forwarder_spec)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
