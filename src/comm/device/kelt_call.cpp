// Kelt(...) made as fast as the same class written in Python: a vectorcall
// for the class that does what type.__call__ does, and __init__'s attribute
// stores made through the class's __setattr__ slot directly.
//
// Kept because the side-by-side bench needs them: a Kelt whose __init__ is
// reached through type.__call__ and stores through PyObject_SetAttr is
// slower than the Python class (bench/run.py's Kelt rows; CPython 3.11.7,
// release build, best of 40 interleaved rounds, ns per call, 2-core VM):
//
//     Kelt()                            module   plain   ratio
//     through type.__call__                207     174    1.19
//     + this vectorcall                    204     176    1.16
//     + the module passed on, not found    182     176    1.04
//     + stores through tp_setattro         153     170    0.90
//     Kelt(port, 9600, 1), all of it       165     192    0.86
//
// A class written in Python has its instance attributes stored by the
// interpreter's specialised STORE_ATTR straight into the instance's values;
// ours go through the generic setter, which looks the name up in the class
// and in the shared keys every time. What is left to save is around it:
// type.__call__ packs a tuple (and a dict for keywords), slot_tp_init looks
// __init__ up again and unpacks both for the method's vectorcall; and
// PyObject_SetAttr re-interns an interned name before calling the slot.
//
// What they rely on in CPython: calling a class reaches the `tp_vectorcall`
// field of the class object when it is set (`type` has
// Py_TPFLAGS_HAVE_VECTORCALL with that field's offset); the field is never
// inherited, so a subclass is called through type.__call__ and sees every
// override. For Kelt itself the shortcut is taken only while the class's
// __new__ is object's (assigning `Kelt.__new__` changes tp_new) and the
// `__init__` in its own dict is still the method of our table; otherwise the
// call goes through the type's own tp_call. setattr(o, name, value) with an
// interned str name is `Py_TYPE(o)->tp_setattro(o, name, value)`, which is
// the class's __setattr__ (a Python override included: CPython keeps the
// slot in step with the class dict).
#include "comm/device/kelt_call.hpp"

#include "comm/py/state.hpp"

namespace comm {

using py::Ref;

namespace {

// 1 when `tp`'s own __init__ is still the one of our method table, 0 when
// it is not, -1 with an exception set.
int
own_init(PyTypeObject *tp, ModuleState *st)
{
    if (st->str___init__ == nullptr) {
        return 0; // the state was cleared: the general way
    }
    PyObject *init =
        PyDict_GetItemWithError(tp->tp_dict, st->str___init__); // borrowed
    if (init == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (!PyObject_TypeCheck(init, &PyMethodDescr_Type)) {
        return 0;
    }
    PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(init)->d_method;
    return def->ml_meth == reinterpret_cast<PyCFunction>(
                               reinterpret_cast<void (*)()>(Kelt_init));
}

// type.__call__(Kelt, *args, **kwargs), the tuple and dict made here.
PyObject *
general_call(PyObject *type, PyObject *const *args, size_t nargsf,
             PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
    }
    Ref kwargs;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) {
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k),
                               args[nargs + k]) < 0) {
                return nullptr;
            }
        }
    }
    return Py_TYPE(type)->tp_call(type, tuple.get(), kwargs.get());
}

PyObject *
Kelt_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    // Only Kelt itself comes here: its own defining module.
    PyObject *module = PyType_GetModule(tp); // borrowed
    if (module == nullptr) {
        return nullptr;
    }
    ModuleState *st = state_of_module(module);
    int own = tp->tp_new == PyBaseObject_Type.tp_new ? own_init(tp, st) : 0;
    if (own < 0) {
        return nullptr;
    }
    if (own == 0) {
        return general_call(type, args, nargsf, kwnames);
    }
    // object.__new__(Kelt), which also readies the instance's attribute
    // storage, then Kelt.__init__(self, *args, **kwargs).
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return nullptr;
    }
    Ref self = Ref::steal(tp->tp_new(tp, no_args.get(), nullptr));
    if (!self) {
        return nullptr;
    }
    Ref done =
        Ref::steal(Kelt_init_in(module, self.get(), args, nargsf, kwnames));
    if (!done) {
        return nullptr;
    }
    return self.release();
    COMM_ENTRY_END(nullptr)
}

} // namespace

int
set_field(PyObject *self, PyObject *name, PyObject *value)
{
    setattrofunc setattro = Py_TYPE(self)->tp_setattro;
    if (setattro == nullptr) {
        return PyObject_SetAttr(self, name,
                                value); // a class with only tp_setattr
    }
    return setattro(self, name, value);
}

void
install_kelt_call(PyTypeObject *kelt)
{
    kelt->tp_vectorcall = Kelt_vectorcall;
}

} // namespace comm
