// The bodies of the store's methods, one group per file; the method table
// (methods.cpp) lists them in the class's order.
#pragma once

#include "ini_main/method.hpp"

namespace ini_main::store {

// core.cpp: construction, reading and saving
Outcome init(Args) noexcept;
Outcome set_path(Args) noexcept;
Outcome read(Args) noexcept;
Outcome save(Args) noexcept;

// queries.cpp
Outcome sections(Args) noexcept;
Outcome options(Args) noexcept;
Outcome has_section(Args) noexcept;
Outcome has_option(Args) noexcept;

// lookups.cpp
Outcome get(Args) noexcept;
Outcome get_option(Args) noexcept;
Outcome get_all(Args) noexcept;

// writes.cpp
Outcome set(Args) noexcept;
Outcome set_section(Args) noexcept;
Outcome set_option(Args) noexcept;
Outcome set_all(Args) noexcept;

// removals.cpp
Outcome remove_section(Args) noexcept;
Outcome remove_option(Args) noexcept;

}  // namespace ini_main::store
