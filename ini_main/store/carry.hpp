// What the INI file can carry: the texts that the standard parser, with its
// default settings, reads back as they were written.  The writes refuse the
// rest before anything changes, instead of writing a file that reads back as
// something else (or not at all).
#pragma once

#include "ini_main/ref.hpp"

#include <string_view>

namespace ini_main::store {

// What a write judges and hands on, for a name or a value's text: a str
// subclass as an exact str of the same characters, made without running any
// of its methods (its __format__, lower(), __eq__ or __str__ would otherwise
// decide what the parser writes, finds or compares); anything else as it is.
inline Ref as_text(PyObject* name) noexcept {
    if (PyUnicode_CheckExact(name) || !PyUnicode_Check(name)) return Ref::newref(name);
    return Ref::steal(PyUnicode_FromObject(name));
}

// True when the file carries the name, an exact str or no str at all (the
// parser gives its own TypeError for that); otherwise false, with a
// ValueError that names it and says what the file cannot carry.
bool section_name_carried(PyObject* name) noexcept;
bool option_name_carried(PyObject* name) noexcept;

// Empty when the file carries the value's text, an exact str; else the
// first thing in it that the file cannot carry ("a carriage return in a value").
// Apart from the refusal, so that a write can judge the text and still raise
// in the order of its statement.
std::string_view value_flaw(PyObject* text) noexcept;

// The ValueError for a refused value, naming `option` too when it is a str
// (both as as_text() gives them).  Always returns false.
bool refuse_value(PyObject* text, PyObject* option, std::string_view flaw) noexcept;

}  // namespace ini_main::store
