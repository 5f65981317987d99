// The method table: one row per method of TovrelIniMain, in the class's
// order.  Row: bare name, line of the def, parameters (a last "save"
// defaults to True), further locals of the code object, statement lines,
// body.  Binding, code objects, docstrings, traceback names and the class
// namespace are all made from these rows.
#include "ini_main/store/bodies.hpp"
#include "ini_main/store/source.hpp"

namespace ini_main {

namespace {

using namespace store;

constexpr MethodDef rows[] = {
    {"__init__", 20, {"self", "path"}, {}, {22, 23}, init},
    {"_set_path", 50, {"self"}, {}, {51, 52}, set_path},
    {"_get", 54, {"self", "section", "option"}, {"value"}, {55, 56}, get},
    {"_get_option", 58, {"self", "section"}, {"result", "option", "value"}, {59, 60, 61, 62}, get_option},
    {"_get_all", 64, {"self"}, {"result", "section"}, {65, 66, 67, 68}, get_all},
    {"_set", 70, {"self", "section", "option", "value", "save"}, {}, {71, 72, 73, 74, 75, 76}, set},
    {"_set_section", 78, {"self", "section", "save"}, {}, {79, 80, 81, 82, 83, 84}, set_section},
    {"_set_option", 86, {"self", "section", "option_dict", "save"}, {"option", "value"},
     {87, 88, 89, 90, 91, 92, 93}, set_option},
    {"_set_all", 95, {"self", "section_dict", "save"}, {"section", "option_dict"},
     {96, 97, 98, 99, 100, 101}, set_all},
    {"_sections", 103, {"self"}, {"value"}, {104, 105}, sections},
    {"_options", 107, {"self", "section"}, {"value"}, {108, 109}, options},
    {"_remove_section", 111, {"self", "section", "save"}, {"value"}, {112, 113, 114, 115, 116}, remove_section},
    {"_remove_option", 118, {"self", "section", "options", "save"}, {"value"}, {119, 120, 121, 122, 123},
     remove_option},
    {"_has_section", 125, {"self", "section"}, {"value"}, {126, 127}, has_section},
    {"_has_option", 129, {"self", "section", "option"}, {"value"}, {130, 131}, has_option},
    {"_read", 133, {"self"}, {}, {134}, read},
    {"_save", 136, {"self"}, {}, {137, 138}, save},
};

static_assert(laid_out(rows), "a row's def or statement line does not stand where source.hpp has it");

}  // namespace

constinit const std::span<const MethodDef> method_table{rows};

}  // namespace ini_main
