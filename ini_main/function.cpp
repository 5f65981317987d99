#include "ini_main/function.hpp"

#include "ini_main/runtime.hpp"
#include "ini_main/stack_guard.hpp"
#include "ini_main/traceback.hpp"

#include <cassert>
#include <cstddef>
#include <structmember.h>

namespace ini_main {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Method* method;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject* function_type = nullptr;  // made once per process, never released

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

// A call refused before its body runs: the entry names the line of the def.
PyObject* refused(const Method& method) noexcept {
    add_traceback(method.traceback_name, method.def->first_line);
    return nullptr;
}

// Binds, runs the body, and on failure adds the method's traceback entry at
// the line the body reports.
[[gnu::always_inline]] inline PyObject* run_method(const Method& method, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) noexcept {
    PyObject* slots[kMaxParams];
    PyObject* const* bound = bind(method.signature, args, nargs, kwnames, slots);
    if (!bound) return refused(method);
    Outcome outcome = method.def->body(Args(bound));
    PyObject* result = outcome.value.release();
    if (!result) {
        assert(outcome.line > 0);
        add_traceback(method.traceback_name, outcome.line);
    }
    return result;
}

// A call on a stack nearly used up is refused; on a thread whose stack could
// not be measured, the interpreter's count of nested calls guards instead.
[[gnu::noinline, gnu::cold]] PyObject* run_method_on_low_stack(const Method& method, PyObject* const* args,
                                                               Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (stack_measured()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return refused(method);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return refused(method);
    PyObject* result = run_method(method, args, nargs, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// The call entry of every method.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    const Method& method = *as_function(callable)->method;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (stack_low()) [[unlikely]] return run_method_on_low_stack(method, args, nargs, kwnames);
    return run_method(method, args, nargs, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<ini_main function %U at %p>", as_function(self)->qualname, self);
}

// Pickled and copied as a reference to the global of its qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

// Clears only what can take part in a cycle, as the interpreter's functions
// do: a finaliser may still read the object afterwards, so the names become
// empty strings (set by a caller they may be str subclasses, which can hold
// references) and the code object stays.
int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_SETREF(f->name, Py_NewRef(runtime.empty));
    Py_SETREF(f->qualname, Py_NewRef(runtime.empty));
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// Attribute setters: `slot` is the field; each setter says which values it takes.
int replace(PyObject*& slot, PyObject* value) noexcept {
    Py_XSETREF(slot, Py_XNewRef(value));
    return 0;
}

int set_str(PyObject*& slot, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    return replace(slot, value);
}

// None (or deletion) stores nothing; otherwise the value must pass `check`.
int set_optional(PyObject*& slot, PyObject* value, int (*check)(PyObject*), const char* message) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    return replace(slot, value);
}

PyObject* none_if_null(PyObject* value) noexcept { return Py_NewRef(value ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_str(as_function(self)->name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_str(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}
PyObject* get_doc(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept { return replace(as_function(self)->doc, value); }
PyObject* get_module(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) noexcept {
    return replace(as_function(self)->module, value);
}
// Stored and read back only: an absent `save` is always the True object.
PyObject* get_defaults(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_optional(as_function(self)->defaults, value, [](PyObject* v) { return PyTuple_Check(v); },
                        "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_optional(as_function(self)->kwdefaults, value, [](PyObject* v) { return PyDict_Check(v); },
                        "__kwdefaults__ must be set to a dict object");
}
PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    return set_optional(as_function(self)->annotations, value, [](PyObject* v) { return PyDict_Check(v); },
                        "__annotations__ must be set to a dict object");
}
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "ini_main.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR
        | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

bool ready_function_type() noexcept {
    if (!function_type) function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr;
}

Ref new_function(const Method& method) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) return Ref();
    f->vectorcall = function_vectorcall;
    f->method = &method;
    f->name = Py_NewRef(method.name);
    f->qualname = Py_NewRef(method.qualname);
    f->doc = Py_NewRef(method.doc);
    f->module = Py_NewRef(names.ini_main);
    f->globals = Py_NewRef(runtime.globals);
    f->code = Py_NewRef(method.code);
    f->defaults = method.signature.has_save() ? Py_NewRef(runtime.save_defaults) : nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace ini_main
