// Making a DeviceReturn from C++: the one builder behind the records of the
// exchange and of the simulation (device_return.cpp).
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

// The arguments of one DeviceReturn(...) call. A null one is left out of the
// call, so that its default applies.
struct RecordArgs {
    PyObject *command = nullptr;
    bool command_by_keyword = false; // command=command rather than first
    PyObject *value = nullptr;
    PyObject *code = nullptr;      // the code itself, or
    PyObject *code_name = nullptr; // DeviceReturnCode.<code_name>
    PyObject *message = nullptr;
};

// DeviceReturn(command, value=value, code=code, message=message) as a call
// written in Python makes it: the module's DeviceReturn as bound now, then
// the code, then the call, with the keywords in that order. New reference.
py::Ref make_device_return(PyObject *module, const RecordArgs &args);

} // namespace comm
