// placeholder
#include "comm/startup.hpp"
namespace comm { int add_simulation(PyObject *) { return 0; } int run_demo(PyObject *) { return 0; } }
