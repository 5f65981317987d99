// The store's own messages.  Each is written once, as a constant in the
// table at the end of the served text, which the text's helpers use; the
// build takes it from there, so the compiled methods and the text cannot
// say different things.  A message is a str.format() template.
#pragma once

#include "ini_main/ref.hpp"
#include "ini_main/store/text_lines.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string_view>

namespace ini_main::store {

// Named in the compiler's error when the table lacks a message or spells it
// in a way this reading does not take.
void source_text_py_has_no_message_of_this_name() noexcept;
void source_text_py_has_this_message_twice() noexcept;
void a_message_holds_a_backslash_or_a_quote() noexcept;

// The text of the line `NAME = "text"` of the served text.
consteval std::string_view message(std::string_view name) {
    constexpr std::string_view assign = " = \"";
    std::string_view found;
    for_each_line(1, [&](int, std::string_view line) {
        if (line.starts_with(name) && line.substr(name.size()).starts_with(assign) && line.ends_with('"')) {
            if (!found.empty()) source_text_py_has_this_message_twice();
            found = line.substr(name.size() + assign.size());
            found.remove_suffix(1);
        }
        return true;
    });
    if (found.empty()) source_text_py_has_no_message_of_this_name();
    // Read as it stands: no escape to undo.
    if (found.find_first_of("\\\"") != std::string_view::npos) a_message_holds_a_backslash_or_a_quote();
    return found;
}

void source_text_py_has_no_limit_of_this_name() noexcept;
void a_limit_is_not_a_whole_number() noexcept;

// The whole number of the line `NAME = number` of the served text, where the
// store's limits are written once for both; `NAME = a << b` is a power of two.
consteval long long limit(std::string_view name) {
    long long value = -1;
    for_each_line(1, [&](int, std::string_view line) {
        if (!line.starts_with(name) || !line.substr(name.size()).starts_with(" = ")) return true;
        std::string_view number = code_of(line.substr(name.size() + 3));
        auto whole = [](std::string_view digits) {
            long long read = 0;
            if (digits.empty()) a_limit_is_not_a_whole_number();
            for (char c : digits) {
                if (c < '0' || c > '9') a_limit_is_not_a_whole_number();
                read = read * 10 + (c - '0');
            }
            return read;
        };
        const size_t shift = number.find(" << ");
        value = shift == std::string_view::npos ? whole(number)
                                                : whole(number.substr(0, shift)) << whole(number.substr(shift + 4));
        return false;
    });
    if (value < 0) source_text_py_has_no_limit_of_this_name();
    return value;
}

void source_text_py_has_no_errno_set_of_this_name() noexcept;
void an_errno_set_names_an_errno_this_reading_lacks() noexcept;

// The C library's numbers of the errno names that the text's sets use.
struct ErrnoName {
    std::string_view name;
    int value;
};
inline constexpr ErrnoName kErrnoNames[] = {
    {"EAGAIN", EAGAIN}, {"EACCES", EACCES}, {"EINTR", EINTR}, {"ENOENT", ENOENT}, {"ENOTDIR", ENOTDIR},
};

// A set of errno values, as the text's `NAME = (errno.A, errno.B)` lines
// write them once for both.
struct ErrnoSet {
    int values[std::size(kErrnoNames)];
    size_t count;
    constexpr bool holds(int error) const {
        return std::find(values, values + count, error) != values + count;
    }
};

consteval ErrnoSet errno_set(std::string_view name) {
    constexpr std::string_view prefix = "errno.";
    ErrnoSet set{};
    bool found = false;
    for_each_line(1, [&](int, std::string_view line) {
        if (!line.starts_with(name) || !line.substr(name.size()).starts_with(" = (")) return true;
        std::string_view rest = code_of(line.substr(name.size() + 4));
        if (!rest.ends_with(')')) an_errno_set_names_an_errno_this_reading_lacks();
        rest.remove_suffix(1);
        if (rest.ends_with(',')) rest.remove_suffix(1);  // a tuple of one
        while (!rest.empty()) {
            const size_t end = rest.find(", ");
            const std::string_view each = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
            const ErrnoName* known = std::find_if(std::begin(kErrnoNames), std::end(kErrnoNames), [&](const ErrnoName& e) {
                return each.starts_with(prefix) && each.substr(prefix.size()) == e.name;
            });
            if (known == std::end(kErrnoNames) || set.count == std::size(set.values)) {
                an_errno_set_names_an_errno_this_reading_lacks();
            }
            set.values[set.count++] = known->value;
        }
        found = set.count > 0;
        return false;
    });
    if (!found) source_text_py_has_no_errno_set_of_this_name();
    return set;
}

// The message filled in as `message.format(*args)` fills it; null with an
// exception set when that fails.
Ref format_message(std::string_view message, PyObject* const* args, size_t count) noexcept;
template <class... A>
Ref format_message(std::string_view message, A... args) noexcept {
    PyObject* const filled[] = {args..., nullptr};
    return format_message(message, filled, sizeof...(A));
}

// Raises `type` with the message so filled.  Always returns false.
template <class... A>
bool raise_message(PyObject* type, std::string_view message, A... args) noexcept {
    Ref text = format_message(message, args...);
    if (text) PyErr_SetObject(type, text.get());
    return false;
}

// A message as a str, for filling into another.
Ref message_text(std::string_view message) noexcept;

}  // namespace ini_main::store
