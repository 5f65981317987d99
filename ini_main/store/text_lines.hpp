// The store's methods as the equivalent Python: the text of "ini_main.py",
// the file that every traceback entry and code object names.  Each statement
// stands at the line its entry names, so that a traceback prints the
// statement that failed and inspect.getsource finds each method.  The lines
// are read from the text when the program is compiled: a row's def and
// statements, the import step's lines; a body names its statement by a piece
// of its code.  Keep the text true to the bodies.
#pragma once

#include "ini_main/method.hpp"
#include "ini_main/store/source_text.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <iterator>
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

// The row of the method `name`: its def's line, and its statements, the
// lines of code indented deeper than the def up to the next line of code
// that is not (each statement on a line of its own).
consteval MethodDef method_row(const char* name, std::initializer_list<std::string_view> params,
                               std::initializer_list<std::string_view> locals, Body body) {
    MethodDef row{};
    row.name = name;
    row.body = body;
    if (params.size() == 0 || params.size() > kMaxParams || *params.begin() != "self") {
        a_row_takes_self_and_at_most_five_parameters();
    }
    if (locals.size() > kMaxLocals) a_row_takes_at_most_three_locals();
    std::copy(params.begin(), params.end(), row.params);
    std::copy(locals.begin(), locals.end(), row.locals);
    row.param_count = static_cast<int>(params.size());
    row.required = params.size() > 1 && params.end()[-1] == "save" ? row.param_count - 1 : row.param_count;
    row.local_count = static_cast<int>(locals.size());

    for_each_class_line([&](int number, std::string_view line) {
        if (is_def_of(line, name)) row.first_line = number;
        return !row.first_line;
    });
    if (!row.first_line) source_text_py_has_no_def_of_this_method();

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
