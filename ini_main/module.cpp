// The module: its definition, the create and exec steps, and the class built
// from the method table.
#include "ini_main/code.hpp"
#include "ini_main/function.hpp"
#include "ini_main/runtime.hpp"
#include "ini_main/source.hpp"
#include "ini_main/traceback.hpp"

#include <cstdio>
#include <iterator>

namespace ini_main {

namespace {

constexpr const char* kInitEntry = "init ini_main";
constexpr int kMaxMethods = 32;

// What each method keeps from import on: the frame its calls use, and the
// parts its method object starts with.
struct MethodParts {
    MethodFrame frame;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* varnames;
    PyObject* code;
};

MethodParts methods[kMaxMethods];

// "self, section, save=True": the parameter list of a docstring.
Ref parameter_text(const MethodDef& def, const Signature& sig) noexcept {
    char buffer[160];
    int used = 0;
    for (int i = 0; i < sig.total && used < static_cast<int>(sizeof buffer); ++i) {
        const bool defaulted = i >= sig.required;
        used += std::snprintf(buffer + used, sizeof buffer - used, "%s%s%s", i ? ", " : "", def.params[i],
                              defaulted ? "=True" : "");
    }
    return Ref::steal(PyUnicode_FromString(buffer));
}

// Signatures, names, docstrings and variable names from the method table;
// made once per process, with the interned names.  A method's parts are
// stored only once all of them were made, so a retry after a failure (out of
// memory) neither leaks nor keeps half-made parts.
bool describe_method(const MethodDef& def, MethodParts& parts) noexcept {
    Signature sig = {};
    sig.name = def.name;
    Ref params[kMaxParams];
    while (def.params[sig.total]) {
        // Interning returns the very objects of `names`, so keywords written
        // in Python source match by identity.
        params[sig.total] = Ref::steal(PyUnicode_InternFromString(def.params[sig.total]));
        if (!params[sig.total]) return false;
        sig.params[sig.total] = params[sig.total].get();
        ++sig.total;
    }
    const bool has_save = sig.total > 1 && PyUnicode_EqualToUTF8(sig.params[sig.total - 1], "save");
    sig.required = has_save ? sig.total - 1 : sig.total;

    int locals = 0;
    while (locals < static_cast<int>(std::size(def.locals)) && def.locals[locals]) ++locals;
    Ref varnames = Ref::steal(PyTuple_New(sig.total + locals));
    if (!varnames) return false;
    for (int i = 0; i < sig.total; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(sig.params[i]));
    for (int i = 0; i < locals; ++i) {
        PyObject* local = PyUnicode_InternFromString(def.locals[i]);
        if (!local) return false;
        PyTuple_SET_ITEM(varnames.get(), sig.total + i, local);
    }

    Ref text = parameter_text(def, sig);
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("TovrelIniMain.%s", def.name));
    if (!text || !name || !qualname) return false;
    PyObject* interned = qualname.release();
    PyUnicode_InternInPlace(&interned);
    qualname = Ref::steal(interned);
    Ref doc = Ref::steal(PyUnicode_FromFormat("TovrelIniMain.%s(%U)", def.name, text.get()));
    if (!doc) return false;

    parts.frame.def = &def;
    parts.frame.signature = sig;
    for (int i = 0; i < sig.total; ++i) params[i].release();  // kept by the signature for good
    std::snprintf(parts.frame.traceback_name, sizeof parts.frame.traceback_name, "ini_main.TovrelIniMain.%s",
                  def.name);
    parts.varnames = varnames.release();
    parts.name = name.release();
    parts.qualname = qualname.release();
    parts.doc = doc.release();
    return true;
}

bool describe_methods() noexcept {
    if (method_table.size() > kMaxMethods) {
        PyErr_SetString(PyExc_SystemError, "ini_main: method table too large");
        return false;
    }
    for (size_t m = 0; m < method_table.size(); ++m) {
        if (!methods[m].doc && !describe_method(method_table[m], methods[m])) return false;
    }
    return true;
}

bool make_code_objects() noexcept {
    for (size_t m = 0; m < method_table.size(); ++m) {
        MethodParts& parts = methods[m];
        if (parts.code) continue;
        Ref code = make_code(method_table[m], parts.name, parts.varnames, parts.frame.signature.total);
        if (!code) return false;
        parts.code = code.release();
    }
    return true;
}

// A module whose import has begun but not finished is taken as absent, and
// so is a None entry, which the import system reads as "not importable".
bool usable_module(PyObject* module) noexcept {
    if (module == Py_None) return false;
    Ref spec = Ref::steal(PyObject_GetAttr(module, names.dunder_spec));
    Ref initializing = spec ? Ref::steal(PyObject_GetAttr(spec.get(), names._initializing)) : Ref();
    int truth = initializing ? PyObject_IsTrue(initializing.get()) : 0;
    if (truth < 0 || !initializing) PyErr_Clear();
    return truth <= 0;
}

Ref import_configparser() noexcept {
    Ref module = Ref::steal(PyImport_GetModule(names.configparser));
    if (!module && PyErr_Occurred()) return Ref();
    if (module && usable_module(module.get())) return module;
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(names.configparser, runtime.globals, locals.get(), nullptr, 0));
}

bool warn_on_version_mismatch() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "ini_main", "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// The class namespace: __module__, __qualname__, then the methods in table order.
int fill_class_namespace(PyObject* ns) noexcept {
    if (PyDict_SetItem(ns, names.dunder_module, names.ini_main) < 0
        || PyDict_SetItem(ns, names.dunder_qualname, names.TovrelIniMain) < 0) {
        return 19;
    }
    for (size_t m = 0; m < method_table.size(); ++m) {
        const MethodParts& parts = methods[m];
        const bool has_save = parts.frame.signature.required != parts.frame.signature.total;
        FunctionParts fields{parts.name, parts.qualname, parts.doc, names.ini_main, runtime.globals, parts.code,
                             has_save ? runtime.save_defaults : nullptr};
        Ref function = new_function(&parts.frame, fields);
        if (!function || PyDict_SetItem(ns, parts.name, function.get()) < 0) return method_table[m].first_line;
    }
    return 0;
}

// Steps that name a source line; returns 0 or the line of the failed step.
int fill_module(PyObject* module) noexcept {
    PyObject* registry = PyImport_GetModuleDict();
    int present = PyDict_Contains(registry, names.ini_main);
    if (present < 0 || (!present && PyDict_SetItem(registry, names.ini_main, module) < 0)) return 1;

    PyObject* open = nullptr;
    if (PyObject_GetOptionalAttr(runtime.builtins, names.open, &open) <= 0) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.open);
        return 1;
    }
    Py_XSETREF(runtime.open, open);

    if (!runtime.save_defaults && !(runtime.save_defaults = PyTuple_Pack(1, Py_True))) return 1;
    if (!make_code_objects()) return 1;

    Ref configparser = import_configparser();
    if (!configparser || PyObject_SetAttr(module, names.configparser, configparser.get()) < 0) return 10;

    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return 19;
    if (int line = fill_class_namespace(ns.get())) return line;
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return 19;
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                      names.TovrelIniMain, bases.get(), ns.get(), nullptr));
    if (!cls || PyObject_SetAttr(module, names.TovrelIniMain, cls.get()) < 0) return 19;

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyObject_SetAttr(module, names.dunder_test, test.get()) < 0) return 1;
    if (!serve_source()) return 1;
    return 0;
}

// A failed exec step drops the module so that a later import starts over.
// The namespace stays referenced: method objects made before the failure
// may still be reachable and use it as their globals.
int abandon_exec() noexcept {
    Py_CLEAR(runtime.module);
    return -1;
}

int exec_module(PyObject* module) noexcept {
    if (runtime.module) {
        if (runtime.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ini_main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    runtime.module = Py_NewRef(module);
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) return abandon_exec();
    Py_XSETREF(runtime.globals, Py_NewRef(globals));

    PyObject* builtins = PyImport_AddModuleRef("builtins");
    if (!builtins) return abandon_exec();
    Py_XSETREF(runtime.builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return abandon_exec();

    if (!warn_on_version_mismatch() || !ready_function_type() || !make_names() || !describe_methods()) {
        return abandon_exec();
    }
    if (int line = fill_module(module)) {
        add_traceback(kInitEntry, line);
        return abandon_exec();
    }
    return 0;
}

// Copies one attribute of the import spec into the new module's namespace.
bool copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* ns, const char* key, bool skip_none) noexcept {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttrString(spec, attribute, &value);
    if (found < 0) return false;
    Ref held = Ref::steal(value);
    if (!found || (skip_none && value == Py_None)) return true;
    return PyDict_SetItemString(ns, key, value) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (!runtime.interpreter_recorded) {
        runtime.interpreter_recorded = true;
        runtime.interpreter_id = id;
    } else if (runtime.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (runtime.module) {
        // The import machinery will set this module's state pointer to null
        // and allocate a new (empty) state for the exec step, without freeing
        // the old one: free it here, or every re-import loses a block.
        PyMem_Free(PyModule_GetState(runtime.module));
        return Py_NewRef(runtime.module);
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* ns = PyModule_GetDict(module.get());
    if (!ns || !copy_spec_attribute(spec, "loader", ns, "__loader__", false)
        || !copy_spec_attribute(spec, "origin", ns, "__file__", false)
        || !copy_spec_attribute(spec, "parent", ns, "__package__", false)
        || !copy_spec_attribute(spec, "submodule_search_locations", ns, "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ini_main",
    "A small persistent settings store bound to one INI file.\n\n"
    "TovrelIniMain(path) keeps a configparser.ConfigParser in memory; every\n"
    "changing method saves the whole file and reads it back unless save is false.",
    0,
    no_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ini_main

extern "C" PyMODINIT_FUNC PyInit_ini_main() {
    return PyModuleDef_Init(&ini_main::module_def);
}
