// The start-up steps of tarvelpump.comm, one per concern. Each binds its
// names in the module, in order, and returns 0, or -1 with an exception set.
// module.cpp calls them in the fixed order of the module's namespace.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

int add_options(PyObject *module);        // Options, Option
int add_device_return(PyObject *module);  // DeviceReturnCode, DeviceReturn
int add_state_tables(PyObject *module);   // PowerStatus .. AlarmOrder
int add_command_tables(PyObject *module); // Command and its header dicts
int add_convert_func(PyObject *module);   // ConvertFunc
int add_functions(PyObject *module);      // hex_str, list_ports
int add_kelt(PyObject *module);           // Kelt
int add_hold_port(PyObject *module);      // _hold_port (device/port_lock.cpp)
int add_simulation(PyObject *module);     // fake_* functions
int run_demo(PyObject *module);           // only when __name__ == "__main__"

// For a class made by calling its metaclass, as a class statement does:
// records `module` as the class's defining module (which type() leaves
// empty), so that its C++ methods find the state as those of a class made
// from a spec do (records/options.cpp says why). -1 with an exception set.
int set_defining_module(PyObject *type, PyObject *module);

// A builtin function bound to the module (its `self`), with __module__ set
// to the module's name. New reference.
py::Ref make_module_function(PyObject *module, PyMethodDef *def);

// Sets `type.__signature__` to a descriptor that gives inspect the signature
// of the class's C++ __init__, which it cannot bind to the class on 3.13
// (init_signature.cpp). -1 with an exception set.
int set_init_signature(PyObject *type, PyObject *module);

} // namespace comm
