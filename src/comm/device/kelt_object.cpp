// Kelt's instances: port, baud_rate and timeout stay in fields of the
// object until the instance dict is needed (an attribute of another name is
// stored, __dict__ or a dunder is looked up, or the class gains a descriptor
// of that name); then they move into the dict, in their order, and the
// object behaves as any instance with a dict.
#include "comm/device/kelt_object.hpp"

namespace comm {

using py::Ref;

namespace {

bool
has_early(KeltObject *k)
{
    return k->early[0] != nullptr || k->early[1] != nullptr || k->early[2] != nullptr;
}

PyObject *ModuleState::*const kEarlyNames[3] = {
    &ModuleState::str_port, &ModuleState::str_baud_rate, &ModuleState::str_timeout};

const char *const kEarlyText[3] = {"port", "baud_rate", "timeout"};

// The state's interned names go when the module is cleared (a cycle with
// the class broken by the collector), while an instance may still live.
bool
state_cleared(ModuleState *st)
{
    return st->Kelt_type == nullptr;
}

// Name `i` as a new reference, also when the state has been cleared.
Ref
early_name(ModuleState *st, int i)
{
    if (state_cleared(st)) {
        return Ref::steal(PyUnicode_InternFromString(kEarlyText[i]));
    }
    return Ref::borrow(st->*kEarlyNames[i]);
}

// Which of the three names `name` is, or -1.
int
early_index(ModuleState *st, PyObject *name)
{
    if (state_cleared(st)) {
        for (int i = 0; i < 3; ++i) {
            if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kEarlyText[i]) == 0) {
                return i;
            }
        }
        return -1;
    }
    for (int i = 0; i < 3; ++i) {
        if (name == st->*kEarlyNames[i]) {
            return i;
        }
    }
    // Two interned strings are equal only when identical: the names the
    // interpreter looks up (method names in code) stop here.
    if (!PyUnicode_Check(name) || (PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))) {
        return -1;
    }
    for (int i = 0; i < 3; ++i) {
        if (PyUnicode_Compare(name, st->*kEarlyNames[i]) == 0) {
            return i;
        }
    }
    return -1;  // PyUnicode_Compare of two str cannot fail
}

// Whether an access to attribute `i` of self may use the early slot: self is
// a Kelt (not a subclass) without a dict, and the class has not been given
// an attribute of that name since (a property would take the access).
int
early_applies(PyObject *self, ModuleState *st, int i)
{
    if (state_cleared(st) || Py_TYPE(self) != reinterpret_cast<PyTypeObject *>(st->Kelt_type) ||
        as_kelt(self)->dict != nullptr) {
        return 0;
    }
    PyObject *cls_dict = reinterpret_cast<PyTypeObject *>(st->Kelt_type)->tp_dict;
    PyObject *found = PyDict_GetItemWithError(cls_dict, st->*kEarlyNames[i]);
    if (found != nullptr) {
        return 0;
    }
    return PyErr_Occurred() ? -1 : 1;
}

// Moves the early attributes into the instance dict (made as the generic
// code makes it). An entry the dict already has is newer: it stays.
int
materialize(PyObject *self)
{
    KeltObject *k = as_kelt(self);
    if (!has_early(k)) {
        return 0;
    }
    ModuleState *st = state_of_type(Py_TYPE(self));
    if (st == nullptr) {
        return -1;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return -1;
    }
    for (int i = 0; i < 3; ++i) {
        Ref value = Ref::steal(k->early[i]);  // the slot's reference moves here
        k->early[i] = nullptr;
        if (!value) {
            continue;
        }
        Ref name = early_name(st, i);
        if (!name || PyDict_SetDefault(dict.get(), name.get(), value.get()) == nullptr) {
            return -1;
        }
    }
    return 0;
}

// Dunder look-ups (copy, pickle, dir, __dict__, __class__) reach the
// instance's state: they find the dict made.
bool
is_dunder(PyObject *name)
{
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 2 &&
           PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_';
}

}  // namespace

// self.port, self.baud_rate, self.timeout = values: into the early slots
// when they apply to all three, else by setattr (a subclass's descriptors
// and __setattr__ see each store, in order).
int
store_attributes(PyObject *self, ModuleState *st, PyObject *const values[3])
{
    KeltObject *k = as_kelt(self);
    bool early = true;
    for (int i = 0; i < 3 && early; ++i) {
        int applies = early_applies(self, st, i);
        if (applies < 0) {
            return -1;
        }
        early = applies == 1;
    }
    for (int i = 0; i < 3; ++i) {
        if (early) {
            Py_XSETREF(k->early[i], Ref::borrow(values[i]).release());
        }
        else {
            Ref name = early_name(st, i);
            if (!name || PyObject_SetAttr(self, name.get(), values[i]) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

PyObject *
Kelt_getattro(PyObject *self, PyObject *name)
{
    COMM_ENTRY_BEGIN
    KeltObject *k = as_kelt(self);
    if (has_early(k)) {
        ModuleState *st = state_of_type(Py_TYPE(self));
        if (st == nullptr) {
            return nullptr;
        }
        int i = early_index(st, name);
        int fast = i >= 0 ? early_applies(self, st, i) : 0;
        if (fast < 0) {
            return nullptr;
        }
        if (fast && k->early[i] != nullptr) {
            return Ref::borrow(k->early[i]).release();
        }
        if ((i >= 0 || k->dict != nullptr || is_dunder(name)) && materialize(self) < 0) {
            return nullptr;
        }
    }
    return PyObject_GenericGetAttr(self, name);
    COMM_ENTRY_END(nullptr)
}

int
Kelt_setattro(PyObject *self, PyObject *name, PyObject *value)
{
    COMM_ENTRY_BEGIN
    KeltObject *k = as_kelt(self);
    if (has_early(k)) {
        ModuleState *st = state_of_type(Py_TYPE(self));
        if (st == nullptr) {
            return -1;
        }
        int i = early_index(st, name);
        int fast = i >= 0 && value != nullptr ? early_applies(self, st, i) : 0;
        if (fast < 0) {
            return -1;
        }
        if (fast && k->early[i] != nullptr) {
            Py_SETREF(k->early[i], Ref::borrow(value).release());
            return 0;
        }
        if (materialize(self) < 0) {
            return -1;
        }
    }
    return PyObject_GenericSetAttr(self, name, value);
    COMM_ENTRY_END(-1)
}

PyObject *
Kelt_get_dict(PyObject *self, void *context)
{
    COMM_ENTRY_BEGIN
    if (materialize(self) < 0) {
        return nullptr;
    }
    return PyObject_GenericGetDict(self, context);
    COMM_ENTRY_END(nullptr)
}

int
Kelt_set_dict(PyObject *self, PyObject *value, void *context)
{
    COMM_ENTRY_BEGIN
    if (value == nullptr || !PyDict_Check(value)) {
        return PyObject_GenericSetDict(self, value, context);  // its TypeError
    }
    for (PyObject *&slot : as_kelt(self)->early) {
        Py_CLEAR(slot);  // replaced with the rest of the old state
    }
    return PyObject_GenericSetDict(self, value, context);
    COMM_ENTRY_END(-1)
}

PyObject *
Kelt_getstate(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    if (materialize(self) < 0) {
        return nullptr;
    }
    PyObject *dict = as_kelt(self)->dict;  // borrowed
    if (dict == nullptr || PyDict_GET_SIZE(dict) == 0) {
        return py::none();
    }
    return Ref::borrow(dict).release();
    COMM_ENTRY_END(nullptr)
}

// __weakref__ as a Python class shows it: the first weak reference, or None.
PyObject *
Kelt_weakref(PyObject *self, void *)
{
    PyObject *first = as_kelt(self)->weakreflist;  // borrowed
    return first ? Ref::borrow(first).release() : py::none();
}

int
Kelt_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_kelt(self)->dict);
    for (PyObject *value : as_kelt(self)->early) {
        Py_VISIT(value);
    }
    return 0;
}

int
Kelt_clear(PyObject *self)
{
    Py_CLEAR(as_kelt(self)->dict);
    for (PyObject *&value : as_kelt(self)->early) {
        Py_CLEAR(value);
    }
    return 0;
}

void
Kelt_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_kelt(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    Kelt_clear(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

}  // namespace comm
