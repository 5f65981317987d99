// The module: its definition, the create and exec steps, and the class built
// from the method table.
#include "ini_main/function.hpp"
#include "ini_main/runtime.hpp"
#include "ini_main/served_text.hpp"
#include "ini_main/store/text_lines.hpp"
#include "ini_main/traceback.hpp"

#include <cstdio>

namespace ini_main {

namespace {

constexpr const char* kInitEntry = "init ini_main";
// The source lines of the import steps' traceback entries, found in the text.
// The module set up: registered, `open` captured, tuple, code objects.
constexpr int kSetUpLine = store::line_starting_with("import sys; sys.modules.setdefault(\"ini_main\"");
constexpr int kImportLine = store::line_starting_with("import configparser");
constexpr int kClassLine = store::line_starting_with(store::kClassHeader);  // the class built and bound

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

Outcome done() noexcept { return Ref::newref(Py_None); }

// The class namespace: __module__, __qualname__, then the methods in table order.
Outcome fill_class_namespace(PyObject* ns) noexcept {
    if (PyDict_SetItem(ns, names.dunder_module, names.ini_main) < 0
        || PyDict_SetItem(ns, names.dunder_qualname, names.TovrelIniMain) < 0) {
        return failed_at(kClassLine);
    }
    for (const Method& method : methods()) {
        Ref function = new_function(method);
        if (!function || PyDict_SetItem(ns, method.name, function.get()) < 0) {
            return failed_at(method.def->first_line);
        }
    }
    return done();
}

// The steps that name a source line in the traceback when they fail.
Outcome fill_module(PyObject* module) noexcept {
    PyObject* registry = PyImport_GetModuleDict();
    int present = PyDict_Contains(registry, names.ini_main);
    if (present < 0 || (!present && PyDict_SetItem(registry, names.ini_main, module) < 0)) {
        return failed_at(kSetUpLine);
    }

    PyObject* open = nullptr;
    if (PyObject_GetOptionalAttr(runtime.builtins, names.open, &open) <= 0) {
        if (!PyErr_Occurred()) raise_name_error(names.open);
        return failed_at(kSetUpLine);
    }
    Py_XSETREF(runtime.open, open);

    if (!runtime.save_defaults && !(runtime.save_defaults = PyTuple_Pack(1, Py_True))) return failed_at(kSetUpLine);
    if (!make_code_objects()) return failed_at(kSetUpLine);

    Ref configparser = import_configparser();
    if (!configparser || PyObject_SetAttr(module, names.configparser, configparser.get()) < 0) {
        return failed_at(kImportLine);
    }

    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return failed_at(kClassLine);
    if (Outcome filled = fill_class_namespace(ns.get()); !filled.value) return filled;
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return failed_at(kClassLine);
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                      names.TovrelIniMain, bases.get(), ns.get(), nullptr));
    if (!cls || PyObject_SetAttr(module, names.TovrelIniMain, cls.get()) < 0) return failed_at(kClassLine);

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyObject_SetAttr(module, names.dunder_test, test.get()) < 0) return failed_at(kSetUpLine);
    if (!serve_source()) return failed_at(kSetUpLine);
    return done();
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
    if (!make_names() || PyObject_SetAttr(module, names.dunder_builtins, builtins) < 0) return abandon_exec();

    if (!warn_on_version_mismatch() || !ready_function_type() || !make_names() || !describe_methods()) {
        return abandon_exec();
    }
    if (Outcome filled = fill_module(module); !filled.value) {
        add_traceback(kInitEntry, filled.line);
        return abandon_exec();
    }
    return 0;
}

// Copies one attribute of the import spec into the new module's namespace.
bool copy_spec_attribute(PyObject* spec, PyObject* attribute, PyObject* ns, PyObject* key, bool skip_none) noexcept {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(spec, attribute, &value);
    if (found < 0) return false;
    Ref held = Ref::steal(value);
    if (!found || (skip_none && value == Py_None)) return true;
    return PyDict_SetItem(ns, key, value) == 0;
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
#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error "Check how this interpreter's import treats the state of a module that the create step returns again."
#endif
        // CPython 3.13's import sets this module's state pointer to null and
        // allocates a new (empty) state for the exec step, without freeing
        // the old one: free it here, or every re-import loses a block.
        PyMem_Free(PyModule_GetState(runtime.module));
        return Py_NewRef(runtime.module);
    }

    if (!make_names()) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(spec, names.name));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* ns = PyModule_GetDict(module.get());
    if (!ns || !copy_spec_attribute(spec, names.loader, ns, names.dunder_loader, false)
        || !copy_spec_attribute(spec, names.origin, ns, names.dunder_file, false)
        || !copy_spec_attribute(spec, names.parent, ns, names.dunder_package, false)
        || !copy_spec_attribute(spec, names.submodule_search_locations, ns, names.dunder_path, true)) {
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

PyMODINIT_FUNC PyInit_ini_main() {  // PyMODINIT_FUNC declares it extern "C"
    return PyModuleDef_Init(&ini_main::module_def);
}
