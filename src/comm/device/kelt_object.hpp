// The Kelt instance: its C struct and the slots that keep the three
// constructor arguments out of an instance dict until one is needed.
#pragma once

#include "comm/py/state.hpp"

namespace comm {

// The three attributes __init__ sets live in `early` until anything needs
// the instance dict; then they move into it, in their order. A Kelt whose
// attributes are only read (as every exchange does) so costs no dict. Only instances of Kelt itself (not of subclasses, whose
// descriptors or __setattr__ must see every store) keep them here.
struct KeltObject {
    PyObject_HEAD
    PyObject *dict;
    PyObject *weakreflist;
    PyObject *early[3];  // port, baud_rate, timeout; null once in the dict
};

inline KeltObject *
as_kelt(PyObject *self)
{
    return reinterpret_cast<KeltObject *>(self);
}

// self.port, self.baud_rate, self.timeout = values[0..3); -1 with an error.
int store_attributes(PyObject *self, ModuleState *st, PyObject *const values[3]);

// tp_getattro, tp_setattro, the __dict__ and __weakref__ getters, and the
// GC slots of the type.
PyObject *Kelt_getattro(PyObject *self, PyObject *name);
int Kelt_setattro(PyObject *self, PyObject *name, PyObject *value);
PyObject *Kelt_get_dict(PyObject *self, void *context);
int Kelt_set_dict(PyObject *self, PyObject *value, void *context);
PyObject *Kelt_weakref(PyObject *self, void *context);
// __getstate__: the instance dict, as object's default gives it for an
// instance whose layout has nothing else (copy and pickle rely on it).
PyObject *Kelt_getstate(PyObject *self, PyObject *unused);
int Kelt_traverse(PyObject *self, visitproc visit, void *arg);
int Kelt_clear(PyObject *self);
void Kelt_dealloc(PyObject *self);

}  // namespace comm
