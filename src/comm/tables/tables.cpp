// placeholder
#include "comm/startup.hpp"
namespace comm { int add_state_tables(PyObject *) { return 0; } int add_command_tables(PyObject *) { return 0; } }
