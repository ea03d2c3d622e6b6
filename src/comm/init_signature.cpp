// `__signature__` for the classes whose __init__ is one of our C++ methods
// (Kelt, DeviceReturn). inspect.signature(cls) reads the class's __init__
// bound to the class itself: a Python function binds to anything, but a
// method descriptor binds only to instances, and from 3.13 on inspect binds
// it that way and raises TypeError. Set in the class, this gives on every
// version what 3.11's inspect gives: __init__'s signature without self.
// It behaves like:
//
//     class InitSignature:
//         def __get__(self, obj, cls):
//             if obj is None and type(cls).__call__ is type.__call__:
//                 new = cls.__new__
//                 for base in cls.__mro__:
//                     if "__new__" in vars(base) and not isbuiltin(new):
//                         return inspect.signature(MethodType(new, cls))
//                     init = vars(base).get("__init__")
//                     if init is not None:
//                         if type(init) is MethodDescriptorType:
//                             return inspect.signature(MethodType(init, cls))
//                         break
//             raise AttributeError("__signature__")
//
// On an instance, or a class that takes its signature from elsewhere (its
// own __init__, a metaclass's __call__), the attribute is missing as in a
// Python class, and inspect goes its own way.
#include "comm/call_time.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/startup.hpp"

namespace comm {

using py::Ref;

namespace {

// The AttributeError of an instance or a class without the attribute.
PyObject *
no_signature(PyObject *obj, PyObject *cls)
{
    if (obj == nullptr || obj == Py_None) {
        PyErr_Format(PyExc_AttributeError,
                     "type object '%.100s' has no attribute '__signature__'",
                     reinterpret_cast<PyTypeObject *>(cls)->tp_name);
    }
    else {
        PyErr_Format(PyExc_AttributeError,
                     "'%.100s' object has no attribute '__signature__'",
                     Py_TYPE(obj)->tp_name);
    }
    return nullptr;
}

// 1 when calling `cls` is type.__call__, which runs __new__ and __init__;
// 0 when its metaclass has a __call__ of its own; -1 on error.
int
called_by_type(PyObject *cls)
{
    Ref own = Ref::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject *>(Py_TYPE(cls)), "__call__"));
    if (!own) {
        return -1;
    }
    Ref plain = Ref::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject *>(&PyType_Type), "__call__"));
    if (!plain) {
        return -1;
    }
    return own.get() == plain.get();
}

// What gives `cls` its signature, as inspect decides it, when inspect on
// 3.13 could not read it: a __new__ written in Python met before our __init__
// along the MRO (inspect binds the __init__ even then), or our __init__.
// Empty with no exception set when it is neither: inspect can do it alone.
Ref
signature_source(PyObject *cls, ModuleState *st)
{
    // inspect counts a __new__ only when it is not a builtin, which
    // object's, bound to the class, is.
    Ref new_fn = Ref::steal(PyObject_GetAttr(cls, st->str___new__));
    if (!new_fn) {
        return Ref();
    }
    bool python_new = !PyCFunction_Check(new_fn.get());
    Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject *>(cls)->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro.get(), i); // held by mro
        Ref dict = py::type_dict(reinterpret_cast<PyTypeObject *>(base));
        if (!dict) {
            return Ref();
        }
        Ref found;
        int has = py::dict_get_item_ref(dict.get(), st->str___new__, &found);
        if (has < 0) {
            return Ref();
        }
        if (has > 0 && python_new) {
            return new_fn;
        }
        has = py::dict_get_item_ref(dict.get(), st->str___init__, &found);
        if (has < 0) {
            return Ref();
        }
        if (has > 0) {
            return PyObject_TypeCheck(found.get(), &PyMethodDescr_Type)
                       ? std::move(found)
                       : Ref();
        }
    }
    return Ref();
}

PyObject *
InitSignature_get(PyObject *self, PyObject *obj, PyObject *cls)
{
    COMM_ENTRY_BEGIN
    if (obj != nullptr && obj != Py_None) {
        return no_signature(obj, nullptr);
    }
    if (cls == nullptr || !PyType_Check(cls)) {
        PyErr_SetString(PyExc_AttributeError, "__signature__");
        return nullptr;
    }
    PyObject *found = module_of_type(Py_TYPE(self)); // borrowed
    if (found == nullptr) {
        return nullptr;
    }
    Ref module = Ref::borrow(found);
    int plain = called_by_type(cls);
    if (plain <= 0) {
        return plain < 0 ? nullptr : no_signature(nullptr, cls);
    }
    ModuleState *st = state_of_module(module.get());
    if (st->str___init__ == nullptr) {
        return no_signature(nullptr, cls); // the state was cleared
    }
    Ref source = signature_source(cls, st);
    if (!source) {
        return PyErr_Occurred() ? nullptr : no_signature(nullptr, cls);
    }
    Ref inspect = import_statement(module.get(), "inspect");
    if (!inspect) {
        return nullptr;
    }
    Ref signature =
        Ref::steal(PyObject_GetAttrString(inspect.get(), "signature"));
    if (!signature) {
        return nullptr;
    }
    Ref bound = Ref::steal(PyMethod_New(source.get(), cls));
    if (!bound) {
        return nullptr;
    }
    return PyObject_CallOneArg(signature.get(), bound.get());
    COMM_ENTRY_END(nullptr)
}

// Tracked, and visiting its class, so that the cycle through the class's
// module can be collected.
int
InitSignature_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void
InitSignature_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tp->tp_free(self);
    Py_DECREF(tp); // instances of a heap type own a reference to it
}

PyType_Slot InitSignature_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void *>(InitSignature_get)},
    {Py_tp_traverse, reinterpret_cast<void *>(InitSignature_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void *>(InitSignature_dealloc)},
    {0, nullptr},
};

PyType_Spec InitSignature_spec = {
    "tarvelpump.comm.InitSignature", // name: not bound in the module
    sizeof(PyObject),                // basicsize
    0,                               // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_DISALLOW_INSTANTIATION, // flags
    InitSignature_slots,                   // slots
};

} // namespace

int
set_init_signature(PyObject *type, PyObject *module)
{
    Ref descr_type = Ref::steal(
        PyType_FromModuleAndSpec(module, &InitSignature_spec, nullptr));
    if (!descr_type) {
        return -1;
    }
    Ref descr = Ref::steal(PyType_GenericAlloc(
        reinterpret_cast<PyTypeObject *>(descr_type.get()), 0));
    if (!descr) {
        return -1;
    }
    return PyObject_SetAttrString(type, "__signature__", descr.get());
}

} // namespace comm
