// Newer C API calls on the 3.11 floor, as small inline helpers (in the manner
// of pythoncapi-compat), so no version ladder appears anywhere else.
#pragma once

#include "comm/py/ref.hpp"

namespace comm::py {

// PyDict_GetItemRef (3.13): 1 and *result set when found, 0 when missing,
// -1 with an exception set on error.
inline int
dict_get_item_ref(PyObject *dict, PyObject *key, Ref *result)
{
    PyObject *item = PyDict_GetItemWithError(dict, key); // borrowed
    if (item != nullptr) {
        *result = Ref::borrow(item);
        return 1;
    }
    *result = Ref();
    return PyErr_Occurred() ? -1 : 0;
}

// PyObject_GetOptionalAttr (3.13): as above, for an attribute; only an
// AttributeError counts as missing.
inline int
get_optional_attr(PyObject *obj, PyObject *name, Ref *result)
{
    *result = Ref::steal(PyObject_GetAttr(obj, name));
    if (*result) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// The Py_mod_gil slot (3.13) saying that the module relies on the GIL: a
// free-threaded build then keeps the GIL on while the module is loaded,
// rather than running its code without it. Earlier versions have no such
// slot and always a GIL: there this is the end of the slot list, and the
// entry after it is never read. Put it last, before the terminating entry.
//
// The module does rely on it: the GIL alone orders the port registry
// (port_lock.cpp), the option-index slots in the module state, and Kelt's call
// shortcut reading its class dict. Saying Py_MOD_GIL_NOT_USED would first need
// a lock (PyMutex) or atomics for each of those; strong references where we
// now borrow from a dict or list another thread may change (PyDict_GetItemRef,
// PyList_GetItemRef); critical sections around walks over a caller's list
// or dict; and a 3.13t interpreter to build (a cp313t wheel) and test on,
// under ThreadSanitizer, which this project's machines do not have yet.
constexpr PyModuleDef_Slot
gil_used_slot()
{
#if PY_VERSION_HEX >= 0x030D0000
    return {Py_mod_gil, Py_MOD_GIL_USED};
#else
    return {0, nullptr};
#endif
}

// PyType_GetDict (3.12): the type's own dict, which a static builtin type
// keeps outside tp_dict from 3.12 on. New reference; empty only with an
// exception set.
inline Ref
type_dict(PyTypeObject *type)
{
#if PY_VERSION_HEX >= 0x030C0000
    Ref dict = Ref::steal(PyType_GetDict(type));
#else
    Ref dict = Ref::borrow(type->tp_dict);
#endif
    if (!dict) {
        PyErr_SetString(PyExc_SystemError, "type without a dict");
    }
    return dict;
}

// From 3.13 a function's "unexpected keyword argument" error ends with
// ". Did you mean 'name'?" when one of its parameters is close enough.
constexpr bool kKeywordSuggestions =
#if PY_VERSION_HEX >= 0x030D0000
    true;
#else
    false;
#endif

// PyModule_Add (3.13): binds name to value in the module, consuming value
// even on failure. An empty value means its creation failed: pass it on.
inline int
module_add(PyObject *module, const char *name, Ref value)
{
    if (!value) {
        return -1;
    }
    return PyModule_AddObjectRef(module, name, value.get());
}

} // namespace comm::py
