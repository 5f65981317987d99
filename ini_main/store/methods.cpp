// The method table: the store's rows in the class's order.
#include "ini_main/store/rows.hpp"
#include "ini_main/store/text_lines.hpp"

namespace ini_main {

namespace {

using namespace store;

constexpr MethodDef rows[] = {
    row::init, row::set_path, row::get, row::get_option, row::get_all, row::set, row::set_section,
    row::set_option, row::set_all, row::sections, row::options, row::remove_section, row::remove_option,
    row::has_section, row::has_option, row::read, row::save,
};

static_assert(plain_lines(source_text), "source_text.py holds more than printable ASCII lines");
static_assert(in_class_order(rows), "the rows and the defs of source_text.py differ in number or order");

}  // namespace

constinit const std::span<const MethodDef> method_table{rows};

}  // namespace ini_main
