// Writing values and sections.  The bulk methods call the single-item ones
// with save=False and save once at their end.
#include "ini_main/store/iteration.hpp"
#include "ini_main/store/calls.hpp"
#include "ini_main/store/carry.hpp"
#include "ini_main/store/rows.hpp"

namespace ini_main::store {

namespace {

Ref true_object() noexcept { return Ref::newref(Py_True); }

// self._config.set(section, option, str(value)) in the order Python runs it:
// the parser's `set` is looked up before str() runs, and the text is judged
// after str() and before the call.  An exact str needs no str() and goes
// through the call without a bound method.
bool set_value(PyObject* self, PyObject* section, PyObject* option, PyObject* value) noexcept {
    Ref config = Ref::steal(PyObject_GetAttr(self, names._config));
    if (!config) return false;
    if (PyUnicode_CheckExact(value)) {
        const std::string_view flaw = value_flaw(value);
        if (flaw.empty()) return bool(call_method(names.set, config.get(), section, option, value));
        // A parser without `set` fails on the lookup, as it does for other values.
        if (!Ref::steal(PyObject_GetAttr(config.get(), names.set))) return false;
        return refuse_value(value, option, flaw);
    }
    Ref set = Ref::steal(PyObject_GetAttr(config.get(), names.set));
    Ref converted = set ? Ref::steal(PyObject_Str(value)) : Ref();
    Ref text = converted ? as_text(converted.get()) : Ref();
    if (!text) return false;
    const std::string_view flaw = value_flaw(text.get());
    if (!flaw.empty()) return refuse_value(text.get(), option, flaw);
    PyObject* args[] = {nullptr, section, option, text.get()};
    return bool(Ref::steal(PyObject_Vectorcall(set.get(), args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

}  // namespace

// _set(self, section, option, value, save=True): names the file cannot carry
// are refused before anything changes.
Outcome set(Args a) noexcept {
    PyObject* self = a.self();
    PyObject* save = a[4];
    Ref section = as_text(a[1]);
    Ref option = section ? as_text(a[2]) : Ref();
    if (!option || !section_name_carried(section.get()) || !option_name_carried(option.get()) ||
        !call_method(names._set_section, self, section.get(), save)) {
        return failed_at(row::set.at("self._set_section("));
    }
    if (!set_value(self, section.get(), option.get(), a[3])) return failed_at(row::set.at("self._config.set("));
    if (int line = save_if_asked(self, save, row::set.save_step())) return failed_at(line);
    return true_object();
}

// _set_section(self, section, save=True): adds the section unless it exists
Outcome set_section(Args a) noexcept {
    PyObject* self = a.self();
    Ref section = as_text(a[1]);
    Ref exists = section ? call_method(names._has_section, self, section.get()) : Ref();
    int truth = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (truth < 0) return failed_at(row::set_section.at("self._has_section("));
    if (truth) return true_object();
    if (!section_name_carried(section.get()) || !call_parser(self, names.add_section, section.get())) {
        return failed_at(row::set_section.at("self._config.add_section("));
    }
    if (int line = save_if_asked(self, a[2], row::set_section.save_step())) return failed_at(line);
    return true_object();
}

// _set_option(self, section, option_dict, save=True)
Outcome set_option(Args a) noexcept {
    PyObject* self = a.self();
    Ref section = as_text(a[1]);
    if (!section || !call_method(names._set_section, self, section.get(), a[3])) {
        return failed_at(row::set_option.at("self._set_section("));
    }
    Walk walk = for_each_item(a[2], [&](PyObject* option, PyObject* value) {
        Ref name = as_text(option);
        return name && call_method_kw(names._set, runtime.kw_save, self, section.get(), name.get(), value, Py_False);
    });
    if (walk == Walk::failed) return failed_at(row::set_option.at("option_dict.items()"));
    if (walk == Walk::action_failed) return failed_at(row::set_option.at("self._set("));
    if (int line = save_if_asked(self, a[3], row::set_option.save_step())) return failed_at(line);
    return true_object();
}

// _set_all(self, section_dict, save=True)
Outcome set_all(Args a) noexcept {
    PyObject* self = a.self();
    Walk walk = for_each_item(a[1], [&](PyObject* section, PyObject* option_dict) {
        Ref name = as_text(section);
        return name && call_method_kw(names._set_option, runtime.kw_save, self, name.get(), option_dict, Py_False);
    });
    if (walk == Walk::failed) return failed_at(row::set_all.at("section_dict.items()"));
    if (walk == Walk::action_failed) return failed_at(row::set_all.at("self._set_option("));
    if (int line = save_if_asked(self, a[2], row::set_all.save_step())) return failed_at(line);
    return true_object();
}

}  // namespace ini_main::store
