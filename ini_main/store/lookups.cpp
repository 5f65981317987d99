// Value lookups: one value, one section as a dict, the whole store as a dict.
#include "ini_main/store/iteration.hpp"
#include "ini_main/store/calls.hpp"
#include "ini_main/store/rows.hpp"

namespace ini_main::store {

// _get(self, section, option): value = self._config.get(section, option)
Outcome get(Args a) noexcept {
    return result_or_failed_at(call_parser(a.self(), names.get, a[1], a[2]), row::get.at("self._config.get("));
}

// _get_option(self, section): the parser's items as a new dict, first pair wins
Outcome get_option(Args a) noexcept {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return failed_at(row::get_option.at("result = {}"));
    Ref items = call_parser(a.self(), names.items, a[1]);
    if (!items) return failed_at(row::get_option.at("self._config.items("));
    Walk walk = for_each_pair(items.get(), PairItems::exact_tuple_or_list, [&](PyObject* option, PyObject* value) {
        return PyDict_SetDefaultRef(result.get(), option, value, nullptr) >= 0;
    });
    if (walk == Walk::failed) return failed_at(row::get_option.at("self._config.items("));
    if (walk == Walk::action_failed) return failed_at(row::get_option.at("result.setdefault("));
    return result;
}

// _get_all(self): {section: self._get_option(section) for section in self._sections()}, first wins
Outcome get_all(Args a) noexcept {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return failed_at(row::get_all.at("result = {}"));
    Ref sections = call_method(names._sections, a.self());
    if (!sections) return failed_at(row::get_all.at("self._sections()"));
    Walk walk = for_each(sections.get(), [&](PyObject* section) {
        Ref options = call_method(names._get_option, a.self(), section);
        return options && PyDict_SetDefaultRef(result.get(), section, options.get(), nullptr) >= 0;
    });
    if (walk == Walk::failed) return failed_at(row::get_all.at("self._sections()"));
    if (walk == Walk::action_failed) return failed_at(row::get_all.at("self._get_option("));
    return result;
}

}  // namespace ini_main::store
