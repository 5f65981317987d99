// The store's methods as the equivalent Python: the text of "ini_main.py",
// the file that every traceback entry and code object names.  Each statement
// stands at the line its entry names, so that a traceback prints the
// statement that failed and inspect.getsource finds each method.  The text
// is read when the program is compiled: each row's def line and statements,
// and the import step's lines; a body names its statement by a piece of its
// code.  The parameters and locals of each code object are what Python's
// compiler makes of the text (code_shapes.hpp, made by the build).  Keep the
// text true to the bodies.
#pragma once

#include "ini_main/method.hpp"
#include "ini_main/store/code_shapes.hpp"
#include "ini_main/store/source_text.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

namespace ini_main::store {

// The text itself is store/source_text.py, made into a string constant by
// the build (source_text.hpp.in).
inline constexpr std::string_view source_text = kSourceText;

// Where each line starts, and the number of lines: line n (from 1) runs
// from line_starts[n - 1] to the break before line_starts[n].  Worked out in
// one pass, once, so that looking at a line when compiling does not walk the
// text up to it.
inline constexpr int kMaxSourceLines = 1000;
inline constexpr auto line_starts = [] {
    std::array<size_t, kMaxSourceLines + 1> starts{};
    size_t n = 1;
    for (size_t i = 0; i < source_text.size() && n <= kMaxSourceLines; ++i) {
        if (source_text[i] == '\n') starts[n++] = i + 1;
    }
    return starts;
}();
inline constexpr int source_lines = [] {
    int n = 1;
    while (n <= kMaxSourceLines && line_starts[n]) ++n;
    return n - 1;
}();
static_assert(line_starts[source_lines] == source_text.size(),
              "source_text.py: its last line has no break, or it has more than kMaxSourceLines lines");

// Line `n` (from 1) of the text without its line break.
constexpr std::string_view source_line(int n) {
    return source_text.substr(line_starts[n - 1], line_starts[n] - line_starts[n - 1] - 1);
}

// Calls `visit(number, line)` for each line from `first` on while `visit`
// returns true.
template <class Visit>
constexpr void for_each_line(int first, Visit visit) {
    for (int number = first; number <= source_lines; ++number) {
        if (!visit(number, source_line(number))) return;
    }
}

constexpr size_t indent_of(std::string_view line) { return line.find_first_not_of(' '); }

// The code of a line: from its indentation to a comment, without trailing
// blanks; empty for a blank or comment line.
constexpr std::string_view code_of(std::string_view line) {
    const size_t first = indent_of(line);
    if (first == std::string_view::npos) return {};
    std::string_view code = line.substr(first, line.find('#', first) - first);
    while (code.ends_with(' ')) code.remove_suffix(1);
    return code;
}

// Named in the compiler's error when the text lacks what is looked for.
void no_line_of_source_text_py_starts_so() noexcept;
void more_than_one_line_of_source_text_py_starts_so() noexcept;
void source_text_py_has_no_def_of_this_method() noexcept;
void the_method_has_no_statement_in_source_text_py() noexcept;
void the_method_has_more_statements_than_a_row_holds() noexcept;
void a_row_takes_self_and_at_most_five_parameters() noexcept;
void a_row_takes_at_most_three_locals() noexcept;

// The number of the one line that starts with `start`.
consteval int line_starting_with(std::string_view start) {
    int found = 0;
    for_each_line(1, [&](int number, std::string_view line) {
        if (line.starts_with(start)) {
            if (found) more_than_one_line_of_source_text_py_starts_so();
            found = number;
        }
        return true;
    });
    if (!found) no_line_of_source_text_py_starts_so();
    return found;
}

// The class's body: the lines after "class TovrelIniMain:" up to the next
// line of code that is not indented (the helpers after the class may have
// classes of their own, whose methods are not the store's).
inline constexpr std::string_view kClassHeader = "class TovrelIniMain:";
template <class Visit>
constexpr void for_each_class_line(Visit visit) {
    const int class_line = line_starting_with(kClassHeader);
    for_each_line(class_line + 1, [&](int number, std::string_view line) {
        if (!code_of(line).empty() && indent_of(line) == 0) return false;
        return visit(number, line);
    });
}

// A method of the class: kDef, its name and "(".
inline constexpr std::string_view kDef = "    def ";
inline constexpr size_t kDefIndent = kDef.find('d');
constexpr bool is_def(std::string_view line) { return line.starts_with(kDef); }
constexpr bool is_def_of(std::string_view line, std::string_view name) {
    const std::string_view rest = line.substr(is_def(line) ? kDef.size() : line.size());
    return rest.starts_with(name) && rest.substr(name.size()).starts_with('(');
}

// The parameters and further locals of the row, from the method's shape.
consteval void read_names(MethodDef& row) {
    const CodeShape* shape = std::find_if(std::begin(kCodeShapes), std::end(kCodeShapes),
                                          [&](const CodeShape& each) { return each.name == row.name; });
    if (shape == std::end(kCodeShapes)) source_text_py_has_no_def_of_this_method();
    if (shape->argcount < 1 || shape->argcount > kMaxParams || shape->varnames[0] != "self") {
        a_row_takes_self_and_at_most_five_parameters();
    }
    if (shape->varname_count - shape->argcount > kMaxLocals) a_row_takes_at_most_three_locals();
    row.param_count = shape->argcount;
    row.required = shape->required;
    row.local_count = shape->varname_count - shape->argcount;
    std::copy_n(shape->varnames, row.param_count, row.params);
    std::copy_n(shape->varnames + row.param_count, row.local_count, row.locals);
}

// The row of the method `name`: its def's line, its parameters and further
// locals, and its statements, the lines of code indented deeper than the def
// up to the next line of code that is not (each line one statement of the
// row).
consteval MethodDef method_row(const char* name, Body body) {
    MethodDef row{};
    row.name = name;
    row.body = body;
    for_each_class_line([&](int number, std::string_view line) {
        if (is_def_of(line, name)) row.first_line = number;
        return !row.first_line;
    });
    if (!row.first_line) source_text_py_has_no_def_of_this_method();
    read_names(row);

    int count = 0;
    for_each_line(row.first_line + 1, [&](int number, std::string_view line) {
        const std::string_view code = code_of(line);
        if (code.empty()) return true;
        if (indent_of(line) <= kDefIndent) return false;
        if (count == kMaxStatements) the_method_has_more_statements_than_a_row_holds();
        row.lines[count] = number;
        row.code[count] = code;
        ++count;
        return true;
    });
    if (!count) the_method_has_no_statement_in_source_text_py();
    return row;
}

// The rows stand in the order of their defs, and every def has its row (a
// name defined twice has one row for two defs): the class's order is the
// text's.
constexpr bool in_class_order(std::span<const MethodDef> rows) {
    int defs = 0;
    for_each_class_line([&](int, std::string_view line) {
        defs += is_def(line);
        return true;
    });
    for (size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].first_line <= rows[i - 1].first_line) return false;
    }
    return defs == static_cast<int>(rows.size());
}

// Printable ASCII lines, each ended by '\n': one byte per character, and
// no line break that would split a line for Python but not here.
constexpr bool plain_lines(std::string_view text) {
    for (char c : text) {
        if (c != '\n' && (c < ' ' || c > '~')) return false;
    }
    return text.ends_with('\n');
}

}  // namespace ini_main::store
