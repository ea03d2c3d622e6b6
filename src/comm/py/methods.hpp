// Attaching C++ methods to a class that already exists, as assigning them in
// the class body would: a dunder set this way updates the class's slot, and a
// private name (`__sr`) is bound under its mangled name (`_Kelt__sr`), as the
// compiler writes it for a method defined in the class body.
#pragma once

#include "comm/py/ref.hpp"

#include <cstring>

namespace comm::py {

// The name a class body binds `name` to in the class named `cls`.
inline Ref
mangled_name(PyObject *cls, const char *name)
{
    std::size_t len = std::strlen(name);
    bool is_private = len > 2 && name[0] == '_' && name[1] == '_' &&
                      !(name[len - 1] == '_' && name[len - 2] == '_');
    if (!is_private) {
        return Ref::steal(PyUnicode_InternFromString(name));
    }
    Ref cls_name =
        Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject *>(cls)));
    if (!cls_name) {
        return Ref();
    }
    const char *bare = PyUnicode_AsUTF8(cls_name.get());
    if (bare == nullptr) {
        return Ref();
    }
    while (*bare == '_') {
        ++bare; // the compiler strips the class name's own underscores
    }
    Ref text = Ref::steal(PyUnicode_FromFormat("_%s%s", bare, name));
    if (!text) {
        return Ref();
    }
    PyObject *interned = text.release();
    PyUnicode_InternInPlace(&interned);
    return Ref::steal(interned);
}

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
            descr = Ref::steal(PyDescr_NewMethod(
                reinterpret_cast<PyTypeObject *>(type), def));
        }
        if (!descr) {
            return -1;
        }
        Ref name = mangled_name(type, def->ml_name);
        if (!name) {
            return -1;
        }
        if (PyObject_SetAttr(type, name.get(), descr.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// Sets each function of `defs` (not flagged METH_STATIC, which would hide
// its `self`) on `type` as a staticmethod whose function is bound to the
// class itself, so that it can find its module from there.
inline int
attach_static_methods(PyObject *type, PyMethodDef *defs, PyObject *modname)
{
    for (PyMethodDef *def = defs; def->ml_name != nullptr; ++def) {
        Ref fn = Ref::steal(PyCFunction_NewEx(def, type, modname));
        if (!fn) {
            return -1;
        }
        Ref descr = Ref::steal(PyStaticMethod_New(fn.get()));
        if (!descr) {
            return -1;
        }
        if (PyObject_SetAttrString(type, def->ml_name, descr.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

} // namespace comm::py
