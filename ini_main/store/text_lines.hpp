// The store's methods as the equivalent Python: the text of "ini_main.py",
// the file that every traceback entry and code object names.  Each statement
// stands at the line its entry names, so that a traceback prints the
// statement that failed and inspect.getsource finds each method.  The text
// is read when the program is compiled: each row's def line and parameters,
// its statements and the further locals they bind, and the import step's
// lines; a body names its statement by a piece of its code.  Keep the text
// true to the bodies.
#pragma once

#include "ini_main/method.hpp"
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

// Reading a method's names from its text.  A line of code is taken as
// Python's tokens: names (keywords among them), numbers, strings and
// operators.  The def line gives the parameters; the statement lines give
// the further locals of the code object, the names they bind, read from
// these forms only:
//   - an expression statement, return, raise, pass, break, continue;
//   - an assignment, `a = value`, `a, b = value`, `a = b = value`, each
//     target a name or a reference (`self._config`, `d[k]`);
//   - a walrus, `(a := value)`, anywhere in an expression;
//   - the header of an if, elif, else, while or for (`for a, b in items:`),
//     with simple statements after its colon on the same line;
//   - simple statements separated by ";".
// Any other form is refused by the compiler rather than guessed at, among
// them with, try, import, del, global, nonlocal, def, class, assert, a
// lambda, a comprehension, an if-else expression, yield, await, raise from,
// an f-string, an augmented assignment, a starred or bracketed target, an
// annotation, and a statement that does not stand whole on its line.
struct Token {
    enum Kind { name, number, string, op } kind;
    std::string_view text;
    constexpr bool is(std::string_view word) const { return (kind == name || kind == op) && text == word; }
};
inline constexpr int kMaxTokens = 64;
struct Tokens {
    Token at[kMaxTokens];
    int size = 0;
    bool whole = true;  // every bracket closed on the line
};

inline constexpr std::string_view kKeywords[] = {
    "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
    "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
    "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
    "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield",
};
// The keywords an expression may hold and still be read: the others open a
// scope of their own (lambda, a comprehension's for), bind a name (as) or
// are not read (if-else, yield, await).
inline constexpr std::string_view kExpressionKeywords[] = {
    "False", "None", "True", "and", "in", "is", "not", "or",
};
// The length of the operator that `rest` starts with, taken whole as
// Python takes it (`**=` before `**` before `*`), or 0 for a character that
// is no part of a line read here (a `\` that carries the line on, a `!`).
constexpr size_t operator_length(std::string_view rest) {
    const char a = rest[0], b = rest.size() > 1 ? rest[1] : 0, c = rest.size() > 2 ? rest[2] : 0;
    if (a == b && (a == '*' || a == '/' || a == '<' || a == '>')) return c == '=' ? 3 : 2;
    if (a == '.' && b == '.' && c == '.') return 3;
    constexpr auto npos = std::string_view::npos;
    if ((b == '=' && std::string_view("=!<>+-*/%&|^@:").find(a) != npos) || (a == '-' && b == '>')) return 2;
    return std::string_view("()[]{},:.;=+-*/%&|^~<>@").find(a) != npos;
}
// `x += 1` and the like: one token, which must not pass for an expression.
constexpr bool is_augmented(const Token& token) {
    const std::string_view text = token.text;
    return token.kind == Token::op && text.size() > 1 && text.ends_with('=') && text != "==" && text != "!=" &&
           text != "<=" && text != ">=" && text != ":=";
}

constexpr bool is_one_of(std::string_view word, std::span<const std::string_view> words) {
    return std::find(words.begin(), words.end(), word) != words.end();
}
constexpr bool is_keyword(const Token& token) {
    return token.kind == Token::name && is_one_of(token.text, kKeywords);
}
constexpr bool is_plain_name(const Token& token) { return token.kind == Token::name && !is_keyword(token); }
constexpr bool is_opening(const Token& token) { return token.is("(") || token.is("[") || token.is("{"); }
constexpr bool is_closing(const Token& token) { return token.is(")") || token.is("]") || token.is("}"); }
constexpr bool is_name_char(char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Named in the compiler's error when a method's def or statements are not
// of the forms read.
void a_def_is_def_name_and_parameters_on_one_line() noexcept;
void a_parameter_is_a_plain_name_or_a_last_save_True() noexcept;
void a_statement_is_one_whole_line_of_names_literals_and_operators() noexcept;
void the_names_of_this_statement_form_are_not_read() noexcept;

// The tokens of a line of code (code_of: no comment, no indentation).  An
// f-string, which reads names, or a string not closed on the line is
// refused.
constexpr Tokens tokens_of(std::string_view code) {
    Tokens tokens{};
    int depth = 0;
    size_t i = 0;
    while (i < code.size()) {
        if (code[i] == ' ') {
            ++i;
            continue;
        }
        if (tokens.size == kMaxTokens) a_statement_is_one_whole_line_of_names_literals_and_operators();
        Token& token = tokens.at[tokens.size++];
        const size_t first = i;
        if (is_name_char(code[i])) {
            const bool number = code[i] >= '0' && code[i] <= '9';
            while (i < code.size() && (is_name_char(code[i]) || (number && code[i] == '.'))) ++i;
            token = {number ? Token::number : Token::name, code.substr(first, i - first)};
            if (number || i == code.size() || (code[i] != '"' && code[i] != '\'')) continue;
            // A string's prefix: r, b, u and their pairs (an f-string reads
            // names, and is not read).
            if (token.text.size() > 2 || token.text.find_first_not_of("rRbBuU") != std::string_view::npos) {
                the_names_of_this_statement_form_are_not_read();
            }
        }
        if (code[i] == '"' || code[i] == '\'') {
            // Up to the same one or three quotes, past escaped characters.
            const std::string_view quotes = code.substr(i, code.substr(i, 3).find_first_not_of(code[i]));
            const size_t length = quotes.size() == 3 ? 3 : 1;
            i += length;
            while (i < code.size() && !code.substr(i).starts_with(quotes.substr(0, length))) {
                i += code[i] == '\\' ? 2 : 1;
            }
            if (i >= code.size()) a_statement_is_one_whole_line_of_names_literals_and_operators();
            i += length;
            token = {Token::string, code.substr(first, i - first)};
            continue;
        }
        const size_t length = operator_length(code.substr(i));
        if (!length) a_statement_is_one_whole_line_of_names_literals_and_operators();
        token = {Token::op, code.substr(i, length)};
        i += length;
        if (is_opening(token)) ++depth;
        if (is_closing(token) && --depth < 0) tokens.whole = false;
    }
    if (depth) tokens.whole = false;
    return tokens;
}

// The index of the first token of [from, to) that is `word` outside
// brackets, or `to`.
constexpr int find_outside_brackets(const Tokens& t, int from, int to, std::string_view word) {
    int depth = 0;
    for (int i = from; i < to; ++i) {
        if (!depth && t.at[i].is(word)) return i;
        depth += is_opening(t.at[i]) - is_closing(t.at[i]);
    }
    return to;
}

// The names the tokens [from, to) of an expression read and bind, told to
// `visit(name, binds)` in the order the compiler meets them: the order of
// the text, but a walrus `(name := value)` binds its name after its value.
// Attributes and keyword arguments are not names of the method.
template <class Visit>
constexpr void expression_names(const Tokens& t, int from, int to, Visit& visit) {
    struct Walrus {
        std::string_view name;
        int depth;
    };
    Walrus walruses[kMaxTokens];
    int pending = 0;
    int depth = 0;
    auto value_ends = [&] {
        while (pending && walruses[pending - 1].depth >= depth) visit(walruses[--pending].name, true);
    };
    for (int i = from; i < to; ++i) {
        const Token& token = t.at[i];
        if (token.is(",") || token.is(":")) value_ends();
        if (is_opening(token)) ++depth;
        if (is_closing(token)) {
            value_ends();
            --depth;
        }
        if (token.kind != Token::name) continue;
        if (is_keyword(token)) {
            if (!is_one_of(token.text, kExpressionKeywords)) the_names_of_this_statement_form_are_not_read();
        } else if (i + 1 < to && t.at[i + 1].is(":=")) {
            walruses[pending++] = {token.text, depth};
        } else if (!(i > from && t.at[i - 1].is(".")) && !(depth && i + 1 < to && t.at[i + 1].is("="))) {
            visit(token.text, false);
        }
    }
    value_ends();
}

// A target that binds no name: a reference, `self._config` or `d[k]`, which
// in Python's grammar is a name and more, ending in an attribute or a
// subscription.
constexpr bool is_reference(const Tokens& t, int from, int to) {
    return to - from > 2 && is_plain_name(t.at[from]) &&
           (t.at[to - 1].is("]") || (t.at[to - 2].is(".") && is_plain_name(t.at[to - 1])));
}

// The targets [from, to) of an assignment or a for, split at commas: a
// plain name is bound; a reference reads its names.  A starred or
// bracketed target is not read.
template <class Visit>
constexpr void target_names(const Tokens& t, int from, int to, Visit& visit) {
    int start = from;
    do {
        const int end = find_outside_brackets(t, start, to, ",");
        if (end == start + 1 && is_plain_name(t.at[start])) {
            visit(t.at[start].text, true);
        } else if (is_reference(t, start, end)) {
            expression_names(t, start, end, visit);
        } else {
            the_names_of_this_statement_form_are_not_read();
        }
        start = end + 1;
    } while (start < to);
}

// The names of one simple statement, [from, to): an expression, a
// return, raise, pass, break or continue, or an assignment (`a = b =
// value`, `a, b = value`).  The compiler meets an assignment's value
// first, then its targets from the left.
template <class Visit>
constexpr void simple_statement_names(const Tokens& t, int from, int to, Visit& visit) {
    if (from == to) the_names_of_this_statement_form_are_not_read();
    const Token& first = t.at[from];
    if (first.is("return") || first.is("raise") || first.is("pass") || first.is("break") || first.is("continue")) {
        expression_names(t, from + 1, to, visit);
        return;
    }
    // Any other keyword: import, del, global, with, try, def and the others
    // that bind or scope names; a colon: an annotation; `a += value`.
    if (is_keyword(first) || find_outside_brackets(t, from, to, ":") < to ||
        std::any_of(t.at + from, t.at + to, is_augmented)) {
        the_names_of_this_statement_form_are_not_read();
    }
    const int assign = find_outside_brackets(t, from, to, "=");
    if (assign == to) {
        expression_names(t, from, to, visit);
        return;
    }
    int value = assign;  // the last "=": the value follows it
    for (int next = assign; next < to; next = find_outside_brackets(t, next + 1, to, "=")) value = next;
    expression_names(t, value + 1, to, visit);
    for (int start = from; start < value;) {
        const int end = find_outside_brackets(t, start, to, "=");
        target_names(t, start, end, visit);
        start = end + 1;
    }
}

// The names of a line of code: simple statements separated by ";", or the
// header of an if, elif, else, while or for with, after its colon, the
// simple statements of its body.  The compiler meets a for's iterable
// before its targets.
template <class Visit>
constexpr void line_names(std::string_view code, Visit& visit) {
    const Tokens t = tokens_of(code);
    if (!t.whole) a_statement_is_one_whole_line_of_names_literals_and_operators();
    int body = 0;
    const Token& first = t.at[0];
    if (first.is("if") || first.is("elif") || first.is("else") || first.is("while") || first.is("for")) {
        const int colon = find_outside_brackets(t, 1, t.size, ":");
        if (colon == t.size) the_names_of_this_statement_form_are_not_read();
        const int in = first.is("for") ? find_outside_brackets(t, 1, colon, "in") : 0;
        if (in == colon) the_names_of_this_statement_form_are_not_read();
        expression_names(t, in + 1, colon, visit);
        if (in) target_names(t, 1, in, visit);
        body = colon + 1;
    }
    for (int start = body; start < t.size;) {
        const int end = find_outside_brackets(t, start, t.size, ";");
        simple_statement_names(t, start, end, visit);
        start = end + 1;
    }
}

// The parameters of the def line `def name(self, a, save=True):`, the
// only default being a last save=True (the frame's shared (True,)
// defaults): no annotation, star or other default.
consteval void read_parameters(MethodDef& row, std::string_view line) {
    const Tokens t = tokens_of(code_of(line));
    const int close = t.size - 2;
    if (!t.whole || t.size < 5 || !t.at[0].is("def") || !t.at[2].is("(") || !t.at[close].is(")") ||
        !t.at[close + 1].is(":") || find_outside_brackets(t, 3, t.size, ")") != close) {
        a_def_is_def_name_and_parameters_on_one_line();
    }
    bool save = false;
    for (int start = 3; start < close;) {
        const int end = find_outside_brackets(t, start, close, ",");
        if (row.param_count == kMaxParams) a_row_takes_self_and_at_most_five_parameters();
        save = end == close && end == start + 3 && t.at[start].is("save") && t.at[start + 1].is("=") &&
               t.at[start + 2].is("True");
        if (!save && !(end == start + 1 && is_plain_name(t.at[start]))) {
            a_parameter_is_a_plain_name_or_a_last_save_True();
        }
        row.params[row.param_count++] = t.at[start].text;
        start = end + 1;
    }
    if (!row.param_count || row.params[0] != "self") a_row_takes_self_and_at_most_five_parameters();
    row.required = save ? row.param_count - 1 : row.param_count;
}

// The further locals of the code object: the names the statements bind
// that are not parameters (a name bound anywhere in a method is one of its
// locals), in the order the compiler first meets each, read or bound.
consteval void read_locals(MethodDef& row) {
    const auto names = [](const std::string_view* first, int count) {
        return std::span(first, static_cast<size_t>(count));
    };
    std::string_view bound[kMaxLocals];
    int bound_count = 0;
    auto collect = [&](std::string_view name, bool binds) {
        if (!binds || is_one_of(name, names(row.params, row.param_count)) ||
            is_one_of(name, names(bound, bound_count))) {
            return;
        }
        if (bound_count == kMaxLocals) a_row_takes_at_most_three_locals();
        bound[bound_count++] = name;
    };
    auto order = [&](std::string_view name, bool) {
        if (is_one_of(name, names(bound, bound_count)) && !is_one_of(name, names(row.locals, row.local_count))) {
            row.locals[row.local_count++] = name;
        }
    };
    for (int i = 0; i < kMaxStatements && row.lines[i]; ++i) line_names(row.code[i], collect);
    for (int i = 0; i < kMaxStatements && row.lines[i]; ++i) line_names(row.code[i], order);
}

// The row of the method `name`: its def's line and parameters, its
// statements, the lines of code indented deeper than the def up to the
// next line of code that is not (each line one statement of the row), and
// the further locals they bind.
consteval MethodDef method_row(const char* name, Body body) {
    MethodDef row{};
    row.name = name;
    row.body = body;
    for_each_class_line([&](int number, std::string_view line) {
        if (is_def_of(line, name)) row.first_line = number;
        return !row.first_line;
    });
    if (!row.first_line) source_text_py_has_no_def_of_this_method();
    read_parameters(row, source_line(row.first_line));

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
    read_locals(row);
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
