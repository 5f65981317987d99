// Writing values and sections.  The bulk methods call the single-item ones
// with save=False and save once at their end.
#include "ini_main/iteration.hpp"
#include "ini_main/store/calls.hpp"
#include "ini_main/store/rows.hpp"

namespace ini_main::store {

namespace {

Ref true_object() noexcept { return Ref::newref(Py_True); }

// The text the parser is given: an exact str as it is, anything else str()'d.
Ref value_text(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) ? Ref::newref(value) : Ref::steal(PyObject_Str(value));
}

}  // namespace

// _set(self, section, option, value, save=True)
Outcome set(Args a) noexcept {
    PyObject* self = a.self();
    PyObject* section = a[1];
    PyObject* save = a[4];
    if (!call_method(names._set_section, self, section, save)) return failed_at(row::set.at(71));
    Ref config = Ref::steal(PyObject_GetAttr(self, names._config));
    Ref text = config ? value_text(a[3]) : Ref();
    if (!text || !call_method(names.set, config.get(), section, a[2], text.get())) return failed_at(row::set.at(72));
    if (int line = save_if_asked(self, save, row::set.save_step(73))) return failed_at(line);
    return true_object();
}

// _set_section(self, section, save=True): adds the section unless it exists
Outcome set_section(Args a) noexcept {
    PyObject* self = a.self();
    Ref exists = call_method(names._has_section, self, a[1]);
    int truth = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (truth < 0) return failed_at(row::set_section.at(79));
    if (truth) return true_object();
    if (!call_parser(self, names.add_section, a[1])) return failed_at(row::set_section.at(80));
    if (int line = save_if_asked(self, a[2], row::set_section.save_step(81))) return failed_at(line);
    return true_object();
}

// _set_option(self, section, option_dict, save=True)
Outcome set_option(Args a) noexcept {
    PyObject* self = a.self();
    PyObject* section = a[1];
    if (!call_method(names._set_section, self, section, a[3])) return failed_at(row::set_option.at(87));
    Walk walk = for_each_item(a[2], [&](PyObject* option, PyObject* value) {
        return static_cast<bool>(call_method_kw(names._set, runtime.kw_save, self, section, option, value, Py_False));
    });
    if (walk == Walk::failed) return failed_at(row::set_option.at(88));
    if (walk == Walk::action_failed) return failed_at(row::set_option.at(89));
    if (int line = save_if_asked(self, a[3], row::set_option.save_step(90))) return failed_at(line);
    return true_object();
}

// _set_all(self, section_dict, save=True)
Outcome set_all(Args a) noexcept {
    PyObject* self = a.self();
    Walk walk = for_each_item(a[1], [&](PyObject* section, PyObject* option_dict) {
        return static_cast<bool>(call_method_kw(names._set_option, runtime.kw_save, self, section, option_dict, Py_False));
    });
    if (walk == Walk::failed) return failed_at(row::set_all.at(96));
    if (walk == Walk::action_failed) return failed_at(row::set_all.at(97));
    if (int line = save_if_asked(self, a[2], row::set_all.save_step(98))) return failed_at(line);
    return true_object();
}

}  // namespace ini_main::store
