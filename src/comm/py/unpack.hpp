// `a, b = value` as the interpreter does it (UNPACK_SEQUENCE): through an
// iterator, taking at most one item past the expected count, with its
// messages. An infinite iterable is refused, never drained.
#pragma once

#include "comm/py/ref.hpp"

namespace comm::py {

// Fills out[0..n) with new references; 0, or -1 with the exception set.
inline int
unpack(PyObject *value, Ref *out, Py_ssize_t n)
{
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        // Only a value that is no iterable at all gets the unpacking message;
        // an __iter__ that raised keeps its own.
        if (PyErr_ExceptionMatches(PyExc_TypeError) &&
            Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError,
                         "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(
                    PyExc_ValueError,
                    "not enough values to unpack (expected %zd, got %zd)", n,
                    i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError,
                     "too many values to unpack (expected %zd)", n);
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

} // namespace comm::py
