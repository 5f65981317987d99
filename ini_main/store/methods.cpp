// The method table: the store's rows (rows.hpp), checked against the text.
#include "ini_main/store/rows.hpp"
#include "ini_main/store/text_lines.hpp"

namespace ini_main {

static_assert(store::plain_lines(store::source_text), "source_text.py holds more than printable ASCII lines");
static_assert(store::in_class_order(store::rows), "the rows and the defs of source_text.py differ in number or order");

constinit const std::span<const MethodDef> method_table{store::rows};

}  // namespace ini_main
