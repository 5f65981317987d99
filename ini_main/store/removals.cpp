// Removing sections and options; the parser's answer is handed back.
#include "ini_main/store/calls.hpp"
#include "ini_main/store/rows.hpp"

namespace ini_main::store {

// _remove_section(self, section, save=True)
Outcome remove_section(Args a) noexcept {
    Ref value = call_parser(a.self(), names.remove_section, a[1]);
    if (!value) return failed_at(row::remove_section.at("self._config.remove_section("));
    if (int line = save_if_asked(a.self(), a[2], row::remove_section.save_step())) return failed_at(line);
    return value;
}

// _remove_option(self, section, options, save=True): `options` is one name
Outcome remove_option(Args a) noexcept {
    Ref value = call_parser(a.self(), names.remove_option, a[1], a[2]);
    if (!value) return failed_at(row::remove_option.at("self._config.remove_option("));
    if (int line = save_if_asked(a.self(), a[3], row::remove_option.save_step())) return failed_at(line);
    return value;
}

}  // namespace ini_main::store
