// What the frame needs to know of a store method: one row of the method
// table, and what a body gives back.  Binding, the code object, the
// docstring, the traceback name and the class namespace are all made from
// the rows, in their order.
#pragma once

#include "ini_main/ref.hpp"

#include <cassert>
#include <span>
#include <utility>

namespace ini_main {

inline constexpr int kMaxParams = 5;
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

// Named in the compiler's error when a body names a line its row lacks.
void line_is_not_a_statement_of_this_method() noexcept;

// The lines of a save-and-reload step: the truth test of `save`, then
// self._save() and self._read() on the two lines after it.
struct SaveLines {
    int test, save, read;
};

struct MethodDef {
    const char* name;                    // bare name, "_get"
    int first_line;                      // line of the def: code object, binding errors
    const char* params[kMaxParams + 1];  // null-terminated; a last "save" defaults to True
    const char* locals[3];               // further variable names of the code object
    int lines[kMaxStatements];           // statement lines, zero-terminated
    Body body;

    // One of this method's statement lines, checked when the program is
    // compiled: a body fails with failed_at(row.at(72)).
    consteval int at(int line) const {
        for (int statement : lines) {
            if (statement != 0 && statement == line) return line;
        }
        line_is_not_a_statement_of_this_method();
        return 0;
    }
    consteval SaveLines save_step(int test_line) const {
        return {at(test_line), at(test_line + 1), at(test_line + 2)};
    }
};

// The store's methods in the class's order (defined by the store).
extern const std::span<const MethodDef> method_table;

}  // namespace ini_main
