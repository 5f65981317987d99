// The store's methods: for each, its body (defined in the file of its group)
// and its row: bare name, line of the def, parameters (a last "save"
// defaults to True), further locals of the code object, statement lines,
// body.  A body names the line it failed at through its row, so the compiler
// checks each one against the row.
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

namespace row {

inline constexpr MethodDef init{"__init__", 20, {"self", "path"}, {}, {22, 23}, store::init};
inline constexpr MethodDef set_path{"_set_path", 50, {"self"}, {}, {51, 52}, store::set_path};
inline constexpr MethodDef get{"_get", 54, {"self", "section", "option"}, {"value"}, {55, 56}, store::get};
inline constexpr MethodDef get_option{"_get_option", 58, {"self", "section"}, {"result", "option", "value"},
                                      {59, 60, 61, 62}, store::get_option};
inline constexpr MethodDef get_all{"_get_all", 64, {"self"}, {"result", "section"}, {65, 66, 67, 68},
                                   store::get_all};
inline constexpr MethodDef set{"_set", 70, {"self", "section", "option", "value", "save"}, {},
                               {71, 72, 73, 74, 75, 76}, store::set};
inline constexpr MethodDef set_section{"_set_section", 78, {"self", "section", "save"}, {},
                                       {79, 80, 81, 82, 83, 84}, store::set_section};
inline constexpr MethodDef set_option{"_set_option", 86, {"self", "section", "option_dict", "save"},
                                      {"option", "value"}, {87, 88, 89, 90, 91, 92, 93}, store::set_option};
inline constexpr MethodDef set_all{"_set_all", 95, {"self", "section_dict", "save"}, {"section", "option_dict"},
                                   {96, 97, 98, 99, 100, 101}, store::set_all};
inline constexpr MethodDef sections{"_sections", 103, {"self"}, {"value"}, {104, 105}, store::sections};
inline constexpr MethodDef options{"_options", 107, {"self", "section"}, {"value"}, {108, 109}, store::options};
inline constexpr MethodDef remove_section{"_remove_section", 111, {"self", "section", "save"}, {"value"},
                                          {112, 113, 114, 115, 116}, store::remove_section};
inline constexpr MethodDef remove_option{"_remove_option", 118, {"self", "section", "options", "save"},
                                         {"value"}, {119, 120, 121, 122, 123}, store::remove_option};
inline constexpr MethodDef has_section{"_has_section", 125, {"self", "section"}, {"value"}, {126, 127},
                                       store::has_section};
inline constexpr MethodDef has_option{"_has_option", 129, {"self", "section", "option"}, {"value"}, {130, 131},
                                      store::has_option};
inline constexpr MethodDef read{"_read", 133, {"self"}, {}, {134}, store::read};
inline constexpr MethodDef save{"_save", 136, {"self"}, {}, {137, 138}, store::save};

}  // namespace row

}  // namespace ini_main::store
