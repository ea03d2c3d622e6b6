// Helpers that do at call time what Python code in the module would: look a
// global up in the module's namespace, or run an import statement. Nothing
// they return is kept: a rebound global is seen by the next call.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

// Looks a module global up as Python code in the module would at call time
// (module dict first, then builtins); NameError when neither has it.
py::Ref lookup_global(PyObject *module, PyObject *name);

// `import <dotted>` as the statement does it, returning the top package.
py::Ref import_statement(PyObject *module, const char *dotted);

} // namespace comm
