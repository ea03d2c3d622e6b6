// What the files of the option-table facility share: the C++ methods of
// the metaclass OptionsMeta (option_meta.cpp) and of the entry class Option
// (option_entry.cpp), which add_options (options.cpp) attaches to the
// classes it makes, and the way those methods reach the module state.
#pragma once

#include "comm/py/ref.hpp"
#include "comm/py/state.hpp"

namespace comm {

// These classes come from type(), which leaves their defining module empty:
// the methods on them find the module state through set_defining_module
// (options.cpp); the static __new__ methods are bound to the module itself.
// `obj` is a table (its metaclass defines the method) or an entry (its class
// does).
inline ModuleState *
state_of_class(PyObject *obj)
{
    return state_of_type(Py_TYPE(obj));
}

inline py::Ref
get_attr(PyObject *obj, PyObject *name)
{
    return py::Ref::steal(PyObject_GetAttr(obj, name));
}

// The __new__ methods: functions bound to the module, made static methods
// by add_options (METH_STATIC would hide the module from them); then each
// class's other methods.
extern PyMethodDef OptionsMeta_new_def;
extern PyMethodDef OptionsMeta_methods[];
extern PyMethodDef Option_new_def;
extern PyMethodDef Option_methods[];

} // namespace comm
