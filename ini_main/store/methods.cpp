// The method table: the store's rows in the class's order.
#include "ini_main/store/rows.hpp"
#include "ini_main/store/source.hpp"

namespace ini_main {

namespace {

using namespace store;

constexpr MethodDef rows[] = {
    row::init, row::set_path, row::get, row::get_option, row::get_all, row::set, row::set_section,
    row::set_option, row::set_all, row::sections, row::options, row::remove_section, row::remove_option,
    row::has_section, row::has_option, row::read, row::save,
};

static_assert(laid_out(rows), "a row's def or statement line does not stand where source_text.py has it");

}  // namespace

constinit const std::span<const MethodDef> method_table{rows};

}  // namespace ini_main
