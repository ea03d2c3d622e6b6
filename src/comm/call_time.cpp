// Global look-up, the import statement and a log line, as the module's own
// Python code would do them when a function runs.
#include "comm/call_time.hpp"

#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"

namespace comm {

using py::Ref;

Ref
lookup_global(PyObject *module, PyObject *name)
{
    Ref value;
    int found = py::dict_get_item_ref(PyModule_GetDict(module), name, &value);
    if (found != 0) {
        return value; // found, or an error is set
    }
    found = py::dict_get_item_ref(PyEval_GetBuiltins(), name, &value);
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

// Through builtins.__import__, so that an import hook sees it.
Ref
import_statement(PyObject *module, const char *dotted)
{
    ModuleState *st = state_of_module(module);
    Ref import = lookup_global(module, st->str___import__);
    if (!import) {
        return Ref();
    }
    Ref name = Ref::steal(PyUnicode_FromString(dotted));
    if (!name) {
        return Ref();
    }
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!level) {
        return Ref();
    }
    PyObject *globals =
        PyModule_GetDict(module); // borrowed; lives with module
    PyObject *args[] = {name.get(), globals, Py_None, Py_None, level.get()};
    return Ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
}

int
log_line(PyObject *module, PyObject *level, Ref text)
{
    if (!text) {
        return -1;
    }
    Ref log = lookup_global(module, state_of_module(module)->str_log);
    if (!log) {
        return -1;
    }
    Ref done =
        Ref::steal(PyObject_CallMethodOneArg(log.get(), level, text.get()));
    return done ? 0 : -1;
}

} // namespace comm
