// Structure queries: each one call on the parser, its result handed back as is.
#include "ini_main/store/calls.hpp"
#include "ini_main/store/rows.hpp"

namespace ini_main::store {

// _sections(self): value = self._config.sections()
Outcome sections(Args a) noexcept {
    return result_or_failed_at(call_parser(a.self(), names.sections), row::sections.at("self._config.sections("));
}

// _options(self, section): value = self._config.options(section)
Outcome options(Args a) noexcept {
    return result_or_failed_at(call_parser(a.self(), names.options, a[1]), row::options.at("self._config.options("));
}

// _has_section(self, section): value = self._config.has_section(section)
Outcome has_section(Args a) noexcept {
    return result_or_failed_at(call_parser(a.self(), names.has_section, a[1]),
                               row::has_section.at("self._config.has_section("));
}

// _has_option(self, section, option): value = self._config.has_option(section, option)
Outcome has_option(Args a) noexcept {
    return result_or_failed_at(call_parser(a.self(), names.has_option, a[1], a[2]),
                               row::has_option.at("self._config.has_option("));
}

}  // namespace ini_main::store
