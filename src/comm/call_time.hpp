// Helpers that do at call time what Python code in the module would: look a
// global up in the module's namespace, run an import statement, or write a
// line to the module's logger. Nothing they return is kept: a rebound global
// is seen by the next call.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

// Looks a module global up as Python code in the module would at call time
// (module dict first, then builtins); NameError when neither has it.
py::Ref lookup_global(PyObject *module, PyObject *name);

// `import <dotted>` as the statement does it, returning the top package.
py::Ref import_statement(PyObject *module, const char *dotted);

// log.<level>(text) on the module's `log` as bound now, the one way the
// module writes a log line. `text` comes as the call that made it left it:
// empty, its exception is passed on. 0, or -1 with an exception set.
int log_line(PyObject *module, PyObject *level, py::Ref text);

} // namespace comm
