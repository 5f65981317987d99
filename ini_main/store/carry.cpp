// The rules come from how the parser writes and reads a file back:
// - it writes a section as the line "[name]", an option as "name = value",
//   and each further line of a value as a tab and the line;
// - the file is read with universal newlines, so "\r" ends a line as "\n"
//   does (and "\x0b", "\x85", "\u2028" do not);
// - a line whose text, after its whitespace, starts with '#' or ';' is a
//   comment and is dropped, wherever it stands;
// - an indented line continues the value above it; any other line is tried
//   as a section header first (a '[' at its start, the name up to its last
//   ']'), and then as an option, whose name ends at the first '=' or ':';
// - each line of a value loses its surrounding whitespace, and trailing
//   empty lines are dropped: that change is the format's and stays allowed;
// - the file is UTF-8, which has no encoding for a lone surrogate.
// Each check is one loop over the text that names the first flaw it meets;
// an option name's shape (its ends, its runs of whitespace) is judged after.
#include "ini_main/store/carry.hpp"

#include "ini_main/store/messages.hpp"

#include <cstdint>
#include <cstring>

namespace ini_main::store {

namespace {

// The parser finds an option's name by trying, at each of its characters, a
// run of whitespace followed by '=' or ':'; inside a run of k whitespace
// characters that costs k + (k-1) + ... + 1 steps.  A bound on the runs keeps
// reading a file linear in its size; 16 keeps a file made of nothing but such
// runs within about 2.5 times the reading time of one without them.
constexpr Py_ssize_t kLongestSpaceRun = limit("_LONGEST_SPACE_RUN");
// The message that refuses a longer run names the bound.
static_assert([] {
    constexpr std::string_view start = "more than ";
    constexpr std::string_view text = message("_LONG_SPACE_RUN_IN_OPTION_NAME");
    long long named = 0;
    for (size_t i = start.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        named = named * 10 + (text[i] - '0');
    }
    return text.starts_with(start) && named == kLongestSpaceRun;
}());

bool is_line_break(Py_UCS4 c) noexcept { return c == '\r' || c == '\n'; }
bool is_surrogate(Py_UCS4 c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }
// What str.isspace() says, and what the parser's pattern takes as \s.
bool is_space(Py_UCS4 c) noexcept { return Py_UNICODE_ISSPACE(c); }

// Reads the characters of a str, whatever width it is stored in.
struct Chars {
    explicit Chars(PyObject* text) noexcept
        : kind(PyUnicode_KIND(text)), data(PyUnicode_DATA(text)), size(PyUnicode_GET_LENGTH(text)) {}
    Py_UCS4 operator[](Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i); }
    int kind;
    const void* data;
    Py_ssize_t size;
};

// A quick look that lets the usual text skip the character loops below:
// true when it is ASCII and has no byte below 0x0E (the line breaks, with
// tab, VT and FF) and, with `delimiters`, no '=' or ':'.  The loops find
// nothing in such a text: no line break (so no line after the first), no
// surrogate, no delimiter.  Worth it since nearly every name and value is
// such a text, and the loops look at one character at a time.
// Eight bytes at a time: in a word of ASCII bytes, subtracting k from every
// byte sets the top bit of some byte exactly when a byte is below k, and a
// byte equal to c is a zero byte of x ^ c.
inline bool nothing_to_find(PyObject* text, bool delimiters) noexcept {
    if (!PyUnicode_IS_ASCII(text)) return false;
    const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    constexpr uint64_t ones = 0x0101010101010101;
    const auto clean = [delimiters](uint64_t x) {
        uint64_t found = x - ones * 0x0E;
        if (delimiters) found |= ((x ^ (ones * '=')) - ones) | ((x ^ (ones * ':')) - ones);
        return !(found & (ones * 0x80));
    };
    const auto bytes_at = [s](Py_ssize_t i, auto word) {
        std::memcpy(&word, s + i, sizeof word);
        return uint64_t{word};
    };
    if (n < 4) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (s[i] < 0x0E || (delimiters && (s[i] == '=' || s[i] == ':'))) return false;
        }
        return true;
    }
    // Words never reach past the end: the last one overlaps the one before
    // it, and a text of 4 to 7 bytes is looked at as its first four bytes
    // and its last four.
    if (n < 8) return clean(bytes_at(0, uint32_t{}) | bytes_at(n - 4, uint32_t{}) << 32);
    for (Py_ssize_t i = 0; i + 8 < n; i += 8) {
        if (!clean(bytes_at(i, uint64_t{}))) return false;
    }
    return clean(bytes_at(n - 8, uint64_t{}));
}

std::string_view section_name_flaw(PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return {};
    const Chars s(name);
    // "[]" is no section header: the name between the brackets has at least one character.
    if (s.size == 0) return message("_EMPTY_SECTION_NAME");
    if (nothing_to_find(name, false)) return {};
    for (Py_ssize_t i = 0; i < s.size; ++i) {
        if (is_line_break(s[i])) return message("_LINE_BREAK_IN_SECTION_NAME");
        if (is_surrogate(s[i])) return message("_SURROGATE_IN_SECTION_NAME");
    }
    return {};
}

std::string_view option_name_flaw(PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return {};
    const Chars s(name);
    Py_ssize_t run = 0, longest_run = 0;
    // A name no longer than the bound has no run beyond it.
    const bool screened = s.size <= kLongestSpaceRun && nothing_to_find(name, true);
    for (Py_ssize_t i = 0; i < s.size && !screened; ++i) {
        const Py_UCS4 c = s[i];
        if (is_line_break(c)) return message("_LINE_BREAK_IN_OPTION_NAME");
        if (is_surrogate(c)) return message("_SURROGATE_IN_OPTION_NAME");
        if (c == '=') return message("_EQUALS_IN_OPTION_NAME");
        if (c == ':') return message("_COLON_IN_OPTION_NAME");
        run = is_space(c) ? run + 1 : 0;
        if (run > longest_run) longest_run = run;
    }
    // An empty name writes the line " = value": indented, it continues the
    // value above it; first in its section, it has no name and the file no
    // longer reads.
    if (s.size == 0) return message("_EMPTY_OPTION_NAME");
    if (s[0] == '#' || s[0] == ';') return message("_COMMENT_OPTION_NAME");
    if (s[0] == '[') return message("_HEADER_OPTION_NAME");
    // Leading whitespace indents the line, which then continues the value
    // above it; trailing whitespace is stripped before the delimiter.
    if (is_space(s[0]) || is_space(s[s.size - 1])) return message("_SPACE_AT_AN_END_OF_OPTION_NAME");
    if (longest_run > kLongestSpaceRun) {
        return message("_LONG_SPACE_RUN_IN_OPTION_NAME");
    }
    return {};
}

// The ValueError `refusal`, filled with the text, then what the file cannot carry.
template <class... A>
bool refuse(std::string_view refusal, std::string_view flaw, A... texts) noexcept {
    Ref what = message_text(flaw);
    return what && raise_message(PyExc_ValueError, refusal, texts..., what.get());
}

}  // namespace

std::string_view value_flaw(PyObject* text) noexcept {
    const Chars s(text);
    if (nothing_to_find(text, false)) return {};
    bool line_start = false;  // after a "\n" and only whitespace since
    for (Py_ssize_t i = 0; i < s.size; ++i) {
        const Py_UCS4 c = s[i];
        // The parser writes "\r" as it is, and reading it back ends the line
        // there, unindented: the rest becomes lines of their own.  Refused
        // wherever it stands, also right before "\n" or at the end, where the
        // whitespace rule would have dropped it.
        if (c == '\r') return message("_CARRIAGE_RETURN_IN_VALUE");
        if (is_surrogate(c)) return message("_SURROGATE_IN_VALUE");
        if (c == '\n') {
            line_start = true;
        } else if (line_start) {
            if (c == '#' || c == ';') {
                return message("_COMMENT_LINE_IN_VALUE");
            }
            line_start = is_space(c);
        }
    }
    return {};
}

bool section_name_carried(PyObject* name) noexcept {
    const std::string_view flaw = section_name_flaw(name);
    return flaw.empty() || refuse(message("_CANNOT_STORE_SECTION_NAME"), flaw, name);
}

bool option_name_carried(PyObject* name) noexcept {
    const std::string_view flaw = option_name_flaw(name);
    return flaw.empty() || refuse(message("_CANNOT_STORE_OPTION_NAME"), flaw, name);
}

bool refuse_value(PyObject* text, PyObject* option, std::string_view flaw) noexcept {
    if (!PyUnicode_Check(option)) return refuse(message("_CANNOT_STORE_VALUE"), flaw, text);
    return refuse(message("_CANNOT_STORE_VALUE_OF_OPTION"), flaw, text, option);
}

}  // namespace ini_main::store
