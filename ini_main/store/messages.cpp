#include "ini_main/store/messages.hpp"

#include "ini_main/runtime.hpp"

namespace ini_main::store {

Ref message_text(std::string_view message) noexcept {
    return Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
}

Ref format_message(std::string_view message, PyObject* const* args, size_t count) noexcept {
    Ref format = message_text(message);
    Ref fill = format ? Ref::steal(PyObject_GetAttr(format.get(), names.format)) : Ref();
    return fill ? Ref::steal(PyObject_Vectorcall(fill.get(), args, count, nullptr)) : Ref();
}

}  // namespace ini_main::store
