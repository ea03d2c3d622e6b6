// Turning reply values into operator texts.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

// Kelt.get_value_str(command, value): the converter's text, str(value) when
// there is no converter or it fails, None when the value does not fit the
// command's reply length. New reference; null with an exception set.
py::Ref value_text(PyObject *module, PyObject *command, PyObject *value);

} // namespace comm
