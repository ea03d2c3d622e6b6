// Kelt(...) without type.__call__'s packing, and the attribute stores of its
// __init__ (kelt_call.cpp); __init__ itself is in kelt.cpp.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

// Kelt.__init__ as the class's method table has it (kelt.cpp).
PyObject *Kelt_init(PyObject *self, PyTypeObject *defining,
                    PyObject *const *args, size_t nargsf, PyObject *kwnames);

// The same, for the class whose defining module is `module`.
PyObject *Kelt_init_in(PyObject *module, PyObject *self, PyObject *const *args,
                       size_t nargsf, PyObject *kwnames);

// Makes calls of the class `kelt` itself (not of its subclasses) skip the
// tuple and dict that type.__call__ packs the arguments into.
void install_kelt_call(PyTypeObject *kelt);

// setattr(self, name, value) for an interned str `name`. -1 with an
// exception set.
int set_field(PyObject *self, PyObject *name, PyObject *value);

} // namespace comm
