// The store's methods as the equivalent Python: the text of "ini_main.py",
// the file that every traceback entry and code object names.  Each statement
// stands at the line its entry names, so that a traceback prints the
// statement that failed and inspect.getsource finds each method.  The
// compiler checks the layout: here the fixed lines, in methods.cpp that every
// row's def and statement lines hold code.  Keep it true to the bodies.
#pragma once

#include "ini_main/method.hpp"
#include "ini_main/store/source_text.hpp"

#include <span>
#include <string_view>

namespace ini_main::store {

// The text itself is store/source_text.py, made into a string constant by
// the build (source_text.hpp.in).
inline constexpr std::string_view source_text = kSourceText;


// Line `n` (from 1) of the text without its line break; empty past the end.
constexpr std::string_view source_line(int n) {
    std::string_view rest = source_text;
    for (; n > 1 && !rest.empty(); --n) rest.remove_prefix(rest.find('\n') + 1);
    return rest.substr(0, rest.find('\n'));
}

inline constexpr int source_lines = [] {
    int count = 0;
    for (char c : source_text) count += c == '\n';
    return count;
}();

// Not blank and not only a comment.
constexpr bool holds_code(std::string_view line) {
    const size_t first = line.find_first_not_of(' ');
    return first != std::string_view::npos && line[first] != '#';
}

// Each row's def stands at its first line, and each of its statement lines holds code.
constexpr bool laid_out(std::span<const MethodDef> rows) {
    for (const MethodDef& row : rows) {
        const std::string_view name = row.name;
        const std::string_view def = source_line(row.first_line);
        const std::string_view head = "    def ";
        if (!def.starts_with(head) || !def.substr(head.size()).starts_with(name)
            || !def.substr(head.size() + name.size()).starts_with('(')) {
            return false;
        }
        for (int i = 0; i < kMaxStatements && row.lines[i]; ++i) {
            if (!holds_code(source_line(row.lines[i]))) return false;
        }
    }
    return true;
}

// Printable ASCII lines, each ended by '\n': one byte per character, and
// no line break that would split a line for Python but not here.
constexpr bool plain_lines(std::string_view text) {
    for (char c : text) {
        if (c != '\n' && (c < ' ' || c > '~')) return false;
    }
    return text.ends_with('\n');
}

// The lines of the import step's entries, and the line that fails in a save.
static_assert(source_line(1).starts_with("import sys; sys.modules.setdefault(\"ini_main\""));
static_assert(source_line(10) == "import configparser");
static_assert(source_line(19) == "class TovrelIniMain:");
static_assert(source_line(137).starts_with("        _write_whole_file(self)"));
static_assert(plain_lines(source_text));

}  // namespace ini_main::store
