// The store's methods.  A method is its text in source_text.py, its body,
// defined in the file of its group, and three lines here: the declaration of
// its body, its row, made from its bare name and body, and its place in the
// method table.  All else comes from the text: the line of the def and the
// statement lines, read when the module is compiled, and the parameters (a
// last save=True the only default) and further locals of the code object,
// as Python's own compiler makes them (a step of the build).  A
// body names the statement it failed at by a piece of its code, through its
// row, so the compiler checks each one against the text.
#pragma once

#include "ini_main/method.hpp"
#include "ini_main/store/text_lines.hpp"

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

inline constexpr MethodDef init = method_row("__init__", store::init);
inline constexpr MethodDef set_path = method_row("_set_path", store::set_path);
inline constexpr MethodDef get = method_row("_get", store::get);
inline constexpr MethodDef get_option = method_row("_get_option", store::get_option);
inline constexpr MethodDef get_all = method_row("_get_all", store::get_all);
inline constexpr MethodDef set = method_row("_set", store::set);
inline constexpr MethodDef set_section = method_row("_set_section", store::set_section);
inline constexpr MethodDef set_option = method_row("_set_option", store::set_option);
inline constexpr MethodDef set_all = method_row("_set_all", store::set_all);
inline constexpr MethodDef sections = method_row("_sections", store::sections);
inline constexpr MethodDef options = method_row("_options", store::options);
inline constexpr MethodDef remove_section = method_row("_remove_section", store::remove_section);
inline constexpr MethodDef remove_option = method_row("_remove_option", store::remove_option);
inline constexpr MethodDef has_section = method_row("_has_section", store::has_section);
inline constexpr MethodDef has_option = method_row("_has_option", store::has_option);
inline constexpr MethodDef read = method_row("_read", store::read);
inline constexpr MethodDef save = method_row("_save", store::save);

}  // namespace row

// The method table: the rows in the order of their defs in the class
// (methods.cpp checks it against the text).
inline constexpr MethodDef rows[] = {
    row::init, row::set_path, row::get, row::get_option, row::get_all, row::set, row::set_section,
    row::set_option, row::set_all, row::sections, row::options, row::remove_section, row::remove_option,
    row::has_section, row::has_option, row::read, row::save,
};

}  // namespace ini_main::store
