#include "ini_main/describe.hpp"

#include "ini_main/code.hpp"

#include <cstdio>
#include <string_view>

namespace ini_main {

namespace {

constexpr int kMaxMethods = 32;
Method described[kMaxMethods];

// "self, section, save=True": the parameter list of a docstring.
Ref parameter_text(const MethodDef& def, const Signature& sig) noexcept {
    char buffer[160] = "";  // stays empty for a method without parameters
    int used = 0;
    for (int i = 0; i < sig.total && used < static_cast<int>(sizeof buffer); ++i) {
        const bool defaulted = i >= sig.required;
        const std::string_view param = def.params[i];
        used += std::snprintf(buffer + used, sizeof buffer - used, "%s%.*s%s", i ? ", " : "",
                              static_cast<int>(param.size()), param.data(), defaulted ? "=True" : "");
    }
    return Ref::steal(PyUnicode_FromString(buffer));
}

// The interned form of a new str (null when making it failed).
Ref interned(Ref text) noexcept {
    PyObject* object = text.release();
    if (object) PyUnicode_InternInPlace(&object);
    return Ref::steal(object);
}

// A name of the text as an interned str, so that keywords written in Python
// source match the parameters by identity.
Ref interned(std::string_view name) noexcept {
    return interned(Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
}

bool describe_method(const MethodDef& def, Method& method) noexcept {
    Signature sig = {};
    sig.name = def.name;
    sig.total = def.param_count;
    sig.required = def.required;
    Ref params[kMaxParams];
    for (int i = 0; i < sig.total; ++i) {
        params[i] = interned(def.params[i]);
        if (!params[i]) return false;
        sig.params[i] = params[i].get();
    }

    Ref varnames = Ref::steal(PyTuple_New(sig.total + def.local_count));
    if (!varnames) return false;
    for (int i = 0; i < sig.total; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(sig.params[i]));
    for (int i = 0; i < def.local_count; ++i) {
        Ref local = interned(def.locals[i]);
        if (!local) return false;
        PyTuple_SET_ITEM(varnames.get(), sig.total + i, local.release());
    }

    Ref text = parameter_text(def, sig);
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = interned(Ref::steal(PyUnicode_FromFormat("TovrelIniMain.%s", def.name)));
    if (!text || !name || !qualname) return false;
    Ref doc = Ref::steal(PyUnicode_FromFormat("TovrelIniMain.%s(%U)", def.name, text.get()));
    if (!doc) return false;

    method.def = &def;
    method.signature = sig;
    for (int i = 0; i < sig.total; ++i) (void)params[i].release();  // kept by the signature for good
    std::snprintf(method.traceback_name, sizeof method.traceback_name, "ini_main.TovrelIniMain.%s", def.name);
    method.varnames = varnames.release();
    method.name = name.release();
    method.qualname = qualname.release();
    method.doc = doc.release();
    return true;
}

}  // namespace

std::span<Method> methods() noexcept { return {described, method_table.size()}; }

bool describe_methods() noexcept {
    if (method_table.size() > kMaxMethods) {
        PyErr_SetString(PyExc_SystemError, "ini_main: method table too large");
        return false;
    }
    for (size_t m = 0; m < method_table.size(); ++m) {
        if (!described[m].doc && !describe_method(method_table[m], described[m])) return false;
    }
    return true;
}

bool make_code_objects() noexcept {
    for (Method& method : methods()) {
        if (method.code) continue;
        Ref code = make_code(*method.def, method.name, method.varnames, method.signature.total);
        if (!code) return false;
        method.code = code.release();
    }
    return true;
}

}  // namespace ini_main
