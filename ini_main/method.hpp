// What the frame needs to know of a store method: one row of the method
// table.  Binding, the code object, the docstring, the traceback name and the
// class namespace are all made from these rows, in their order.
#pragma once

#include "ini_main/ref.hpp"

#include <span>
#include <utility>

namespace ini_main {

inline constexpr int kMaxParams = 5;

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
    Outcome outcome{Ref()};
    outcome.line = line;
    return outcome;
}

using Body = Outcome (*)(Args) noexcept;

struct MethodDef {
    const char* name;                    // bare name, "_get"
    int first_line;                      // line of the def: code object, binding errors
    const char* params[kMaxParams + 1];  // null-terminated; a last "save" defaults to True
    const char* locals[3];               // further variable names of the code object
    int lines[8];                        // statement lines, zero-terminated
    Body body;
};

// The store's methods in the class's order (defined by the store).
extern const std::span<const MethodDef> method_table;

}  // namespace ini_main
