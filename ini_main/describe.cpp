#include "ini_main/describe.hpp"

#include "ini_main/code.hpp"

#include <cstdio>
#include <iterator>

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
        used += std::snprintf(buffer + used, sizeof buffer - used, "%s%s%s", i ? ", " : "", def.params[i],
                              defaulted ? "=True" : "");
    }
    return Ref::steal(PyUnicode_FromString(buffer));
}

bool describe_method(const MethodDef& def, Method& method) noexcept {
    Signature sig = {};
    sig.name = def.name;
    Ref params[kMaxParams];
    while (def.params[sig.total]) {
        // Interned, so keywords written in Python source match by identity.
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
