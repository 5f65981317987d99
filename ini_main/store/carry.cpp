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
#include "ini_main/store/carry.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace ini_main::store {

namespace {

// The parser finds an option's name by trying, at each of its characters, a
// run of whitespace followed by '=' or ':'; inside a run of k whitespace
// characters that costs k + (k-1) + ... + 1 steps.  A bound on the runs keeps
// reading a file linear in its size; 16 keeps a file made of nothing but such
// runs within about 2.5 times the reading time of one without them.
constexpr Py_ssize_t kLongestSpaceRun = 16;
constexpr const char* kSpaceRunFlaw =
    "more than 16 whitespace characters in a row in an option name, which the parser reads back in quadratic time";

// What a character is to the rules, for the loops that judge a text
// character by character.
enum : uint8_t { kLineBreak = 1, kDelimiter = 2, kSurrogate = 4 };

constexpr std::array<uint8_t, 256> kByteMarks = [] {
    std::array<uint8_t, 256> marks{};
    marks['\r'] = marks['\n'] = kLineBreak;
    marks['='] = marks[':'] = kDelimiter;
    return marks;
}();

template <class C>
uint8_t marks(C c) noexcept {
    if constexpr (sizeof(C) == 1) {
        return kByteMarks[c];
    } else {
        return c < 256 ? kByteMarks[c] : (c >= 0xD800 && c <= 0xDFFF) ? kSurrogate : 0;
    }
}

template <class C>
bool is_space(C c) noexcept {
    return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c));
}

// ASCII texts, nearly every name and value, are screened a word at a time
// before any character is judged: does the text hold a byte below 0x0E (the
// line breaks, and tab, VT, FF, which send it to the full judgement too) or,
// with `delimiters`, an '=' or ':'?  In a word of ASCII bytes, subtracting k
// from every byte sets the top bit of some byte exactly when a byte is below
// k, and a byte equal to c is a zero byte of x ^ c.
template <bool Delimiters, class Word>
bool hits(Word x) noexcept {
    constexpr Word ones = Word(~Word(0)) / 0xFF;
    Word found = x - ones * 0x0E;
    if constexpr (Delimiters) found |= ((x ^ (ones * '=')) - ones) | ((x ^ (ones * ':')) - ones);
    return found & (ones * 0x80);
}

template <class Word>
Word word_at(const Py_UCS1* s) noexcept {
    Word word;
    std::memcpy(&word, s, sizeof word);
    return word;
}

// The last word overlaps the one before it rather than reading past the end.
template <bool Delimiters>
[[gnu::always_inline]] inline bool ascii_hits(const Py_UCS1* s, Py_ssize_t n) noexcept {
    if (n >= 8) {
        for (Py_ssize_t i = 0; i + 8 < n; i += 8) {
            if (hits<Delimiters>(word_at<uint64_t>(s + i))) return true;
        }
        return hits<Delimiters>(word_at<uint64_t>(s + n - 8));
    }
    if (n >= 4) return hits<Delimiters>(word_at<uint32_t>(s)) || hits<Delimiters>(word_at<uint32_t>(s + n - 4));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] < 0x0E || (Delimiters && (s[i] == '=' || s[i] == ':'))) return true;
    }
    return false;
}

// Runs `check` over the characters of a str in their storage width.  Out of
// line, so that the screened road of an ordinary text stays short.
template <class Check>
[[gnu::noinline]] const char* judged(PyObject* text, Check check) noexcept {
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return check(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return check(static_cast<const Py_UCS2*>(data), n);
        default: return check(static_cast<const Py_UCS4*>(data), n);
    }
}

// The text as an exact str: the message must not run a subclass's __repr__.
Ref exact(PyObject* text) noexcept {
    if (PyUnicode_CheckExact(text)) return Ref::newref(text);
    return Ref::steal(PyUnicode_Substring(text, 0, PyUnicode_GET_LENGTH(text)));
}

[[gnu::noinline]] bool refuse(const char* what, PyObject* text, const char* flaw) noexcept {
    if (Ref shown = exact(text)) {
        PyErr_Format(PyExc_ValueError, "cannot store %s %R: the INI file cannot carry %s", what, shown.get(), flaw);
    }
    return false;
}

const char* section_name_flaw(PyObject* text) noexcept {
    if (!PyUnicode_Check(text)) return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length > 0 && PyUnicode_IS_ASCII(text) && !ascii_hits<false>(PyUnicode_1BYTE_DATA(text), length)) {
        return nullptr;
    }
    return judged(text, [](const auto* s, Py_ssize_t n) -> const char* {
        // "[]" is no section header: the name between the brackets has at least one character.
        if (n == 0) return "an empty section name";
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (const uint8_t m = marks(s[i]) & (kLineBreak | kSurrogate)) {
                return m == kLineBreak ? "a line break in a section name"
                                       : "a lone surrogate (which UTF-8 cannot encode) in a section name";
            }
        }
        return nullptr;
    });
}

const char* option_name_flaw(PyObject* text) noexcept {
    if (!PyUnicode_Check(text)) return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length > 0 && PyUnicode_IS_ASCII(text)) {
        const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
        const Py_UCS1 first = s[0];
        if (length <= kLongestSpaceRun && !ascii_hits<true>(s, length) && first != '#' && first != ';' &&
            first != '[' && !is_space(first) && !is_space(s[length - 1])) {
            return nullptr;
        }
    }
    return judged(text, [](const auto* s, Py_ssize_t n) -> const char* {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (const uint8_t m = marks(s[i]) & (kLineBreak | kDelimiter | kSurrogate)) {
                if (m == kLineBreak) return "a line break in an option name";
                if (m == kSurrogate) return "a lone surrogate (which UTF-8 cannot encode) in an option name";
                return s[i] == '=' ? "'=' in an option name" : "':' in an option name";
            }
        }
        // An empty name writes the line " = value": indented, it continues
        // the value above it; first in its section, it has no name and the
        // file no longer reads.
        if (n == 0) return "an empty option name";
        if (s[0] == '#' || s[0] == ';') return "an option name that starts with '#' or ';', which reads as a comment";
        if (s[0] == '[') return "an option name that starts with '[', which can read as a section header";
        // Leading whitespace indents the line, which then continues the value
        // above it; trailing whitespace is stripped before the delimiter.
        if (is_space(s[0]) || is_space(s[n - 1])) return "whitespace at either end of an option name";
        Py_ssize_t run = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            run = is_space(s[i]) ? run + 1 : 0;
            if (run > kLongestSpaceRun) return kSpaceRunFlaw;
        }
        return nullptr;
    });
}

}  // namespace

Ref as_text(PyObject* name) noexcept {
    if (PyUnicode_CheckExact(name) || !PyUnicode_Check(name)) return Ref::newref(name);
    return Ref::steal(PyUnicode_FromObject(name));
}

const char* value_flaw(PyObject* text) noexcept {
    if (!PyUnicode_Check(text)) return nullptr;
    if (PyUnicode_IS_ASCII(text) && !ascii_hits<false>(PyUnicode_1BYTE_DATA(text), PyUnicode_GET_LENGTH(text))) {
        return nullptr;
    }
    return judged(text, [](const auto* s, Py_ssize_t n) -> const char* {
        for (Py_ssize_t i = 0; i < n; ++i) {
            const uint8_t m = marks(s[i]) & (kLineBreak | kSurrogate);
            if (!m) continue;
            // The parser writes "\r" as it is, and reading it back ends the
            // line there, unindented: the rest becomes lines of their own.
            // Refused wherever it stands, also right before "\n" or at the
            // end, where the whitespace rule would have dropped it.
            if (s[i] == '\r') return "a carriage return in a value";
            if (m == kSurrogate) return "a lone surrogate (which UTF-8 cannot encode) in a value";
            // The next line's text, past its whitespace and any blank lines
            // between (a '\r' among them is left to the test above).
            while (i + 1 < n && s[i + 1] != '\r' && is_space(s[i + 1])) ++i;
            if (i + 1 < n && (s[i + 1] == '#' || s[i + 1] == ';')) {
                return "a value line after the first that starts with '#' or ';', which reads as a comment";
            }
        }
        return nullptr;
    });
}

bool section_name_carried(PyObject* name) noexcept {
    const char* flaw = section_name_flaw(name);
    return !flaw || refuse("section name", name, flaw);
}

bool option_name_carried(PyObject* name) noexcept {
    const char* flaw = option_name_flaw(name);
    return !flaw || refuse("option name", name, flaw);
}

bool refuse_value(PyObject* text, PyObject* option, const char* flaw) noexcept {
    if (!PyUnicode_Check(option)) return refuse("value", text, flaw);
    Ref shown = exact(text);
    Ref name = shown ? exact(option) : Ref();
    if (name) {
        PyErr_Format(PyExc_ValueError, "cannot store value %R of option %R: the INI file cannot carry %s",
                     shown.get(), name.get(), flaw);
    }
    return false;
}

}  // namespace ini_main::store
