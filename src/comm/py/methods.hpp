// Attaching C++ methods to a class that already exists, as assigning them in
// the class body would: a dunder set this way updates the class's slot.
#pragma once

#include "comm/py/ref.hpp"

namespace comm::py {

// Sets each method of the null-terminated `defs` on `type`; METH_STATIC ones
// become staticmethods named after `modname`. -1 with an exception set.
inline int
attach_methods(PyObject *type, PyMethodDef *defs, PyObject *modname = nullptr)
{
    for (PyMethodDef *def = defs; def->ml_name != nullptr; ++def) {
        Ref descr;
        if (def->ml_flags & METH_STATIC) {
            Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, modname));
            if (!fn) {
                return -1;
            }
            descr = Ref::steal(PyStaticMethod_New(fn.get()));
        }
        else {
            descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(type), def));
        }
        if (!descr || PyObject_SetAttrString(type, def->ml_name, descr.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace comm::py
