// What the frame needs to know of a store method: one row of the method
// table, and what a body gives back.  Binding, the code object, the
// docstring, the traceback name and the class namespace are all made from
// the rows, in their order.
#pragma once

#include "ini_main/ref.hpp"

#include <cassert>
#include <span>
#include <string_view>
#include <utility>

namespace ini_main {

inline constexpr int kMaxParams = 5;
inline constexpr int kMaxLocals = 3;
inline constexpr int kMaxStatements = 8;

// The bound arguments of one call, borrowed for the call's duration.
class Args {
public:
    explicit Args(PyObject* const* slots) noexcept : slots_(slots) {}
    PyObject* self() const noexcept { return slots_[0]; }
    PyObject* operator[](int i) const noexcept { return slots_[i]; }
    PyObject* const* data() const noexcept { return slots_; }

private:
    PyObject* const* slots_;
};

// What a method body gives back: its result, or no result, a pending
// exception and the source line of the statement that failed.
struct Outcome {
    Outcome(Ref result) noexcept : value(std::move(result)) {}  // NOLINT: implicit on purpose
    Ref value;
    int line = 0;
};

inline Outcome failed_at(int line) noexcept {
    assert(line > 0 && PyErr_Occurred());
    Outcome outcome{Ref()};
    outcome.line = line;
    return outcome;
}

using Body = Outcome (*)(Args) noexcept;

// Named in the compiler's error when a body names a statement wrongly.
void no_statement_of_this_method_holds_the_label() noexcept;
void more_than_one_statement_of_this_method_holds_the_label() noexcept;
void this_method_has_no_save_and_reload_step() noexcept;

// The lines of a save-and-reload step: the truth test of `save`, then
// self._save() and self._read() as the two statements after it.
struct SaveLines {
    int test, save, read;
};

// A row is made by the store from its name and body; the line of its def
// and its statements are read from the method's text, its parameters and
// further locals from what Python's compiler makes of that text.
struct MethodDef {
    const char* name;                       // bare name, "_get"
    int first_line;                         // line of the def: code object, binding errors
    std::string_view params[kMaxParams];    // self first
    int param_count;
    int required;                           // param_count, or one less when the last is save=True
    std::string_view locals[kMaxLocals];    // further variable names of the code object
    int local_count;
    int lines[kMaxStatements];              // statement lines, zero-terminated
    std::string_view code[kMaxStatements];  // each statement's code, without indentation or comment
    Body body;

    // The line of the one statement whose code holds `label`, checked when
    // the program is compiled: a body fails with
    // failed_at(row::get.at("self._config.get(")).
    consteval int at(std::string_view label) const {
        int found = 0;
        for (int i = 0; i < kMaxStatements && lines[i]; ++i) {
            if (label.empty() || code[i].find(label) == std::string_view::npos) continue;
            if (found) more_than_one_statement_of_this_method_holds_the_label();
            found = lines[i];
        }
        if (!found) no_statement_of_this_method_holds_the_label();
        return found;
    }

    // The method's one save-and-reload step: `if save:`, `self._save()`,
    // `self._read()` as consecutive statements.
    consteval SaveLines save_step() const {
        for (int i = 0; i + 2 < kMaxStatements && lines[i + 2]; ++i) {
            if (code[i] == "if save:" && code[i + 1] == "self._save()" && code[i + 2] == "self._read()") {
                return {at("if save:"), lines[i + 1], lines[i + 2]};
            }
        }
        this_method_has_no_save_and_reload_step();
        return {};
    }
};

// The store's methods in the class's order (defined by the store).
extern const std::span<const MethodDef> method_table;

}  // namespace ini_main
