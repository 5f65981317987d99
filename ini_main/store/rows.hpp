// The store's methods: for each, its body (defined in the file of its group)
// and its row: bare name, parameters (a last "save" defaults to True),
// further locals of the code object, body.  The line of the def and the
// statement lines come from the method's text in source_text.py.  A body
// names the statement it failed at by a piece of its code, through its row,
// so the compiler checks each one against the text.
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

inline constexpr MethodDef init = method_row("__init__", {"self", "path"}, {}, store::init);
inline constexpr MethodDef set_path = method_row("_set_path", {"self"}, {}, store::set_path);
inline constexpr MethodDef get = method_row("_get", {"self", "section", "option"}, {"value"}, store::get);
inline constexpr MethodDef get_option =
    method_row("_get_option", {"self", "section"}, {"result", "option", "value"}, store::get_option);
inline constexpr MethodDef get_all = method_row("_get_all", {"self"}, {"result", "section"}, store::get_all);
inline constexpr MethodDef set =
    method_row("_set", {"self", "section", "option", "value", "save"}, {}, store::set);
inline constexpr MethodDef set_section =
    method_row("_set_section", {"self", "section", "save"}, {}, store::set_section);
inline constexpr MethodDef set_option = method_row("_set_option", {"self", "section", "option_dict", "save"},
                                                   {"option", "value"}, store::set_option);
inline constexpr MethodDef set_all =
    method_row("_set_all", {"self", "section_dict", "save"}, {"section", "option_dict"}, store::set_all);
inline constexpr MethodDef sections = method_row("_sections", {"self"}, {"value"}, store::sections);
inline constexpr MethodDef options = method_row("_options", {"self", "section"}, {"value"}, store::options);
inline constexpr MethodDef remove_section =
    method_row("_remove_section", {"self", "section", "save"}, {"value"}, store::remove_section);
inline constexpr MethodDef remove_option =
    method_row("_remove_option", {"self", "section", "options", "save"}, {"value"}, store::remove_option);
inline constexpr MethodDef has_section =
    method_row("_has_section", {"self", "section"}, {"value"}, store::has_section);
inline constexpr MethodDef has_option =
    method_row("_has_option", {"self", "section", "option"}, {"value"}, store::has_option);
inline constexpr MethodDef read = method_row("_read", {"self"}, {}, store::read);
inline constexpr MethodDef save = method_row("_save", {"self"}, {}, store::save);

}  // namespace row

}  // namespace ini_main::store
