// Structure queries: each one call on the parser, its result handed back as is.
#include "ini_main/store/bodies.hpp"
#include "ini_main/store/calls.hpp"

namespace ini_main::store {

// _sections(self): value = self._config.sections()
Outcome sections(Args a) noexcept { return parser_result<&Names::sections, 0>(a, 104); }

// _options(self, section): value = self._config.options(section)
Outcome options(Args a) noexcept { return parser_result<&Names::options, 1>(a, 108); }

// _has_section(self, section): value = self._config.has_section(section)
Outcome has_section(Args a) noexcept { return parser_result<&Names::has_section, 1>(a, 126); }

// _has_option(self, section, option): value = self._config.has_option(section, option)
Outcome has_option(Args a) noexcept { return parser_result<&Names::has_option, 2>(a, 130); }

}  // namespace ini_main::store
