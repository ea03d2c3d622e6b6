// The entry class of option tables, Option: an int subclass whose instances
// carry a name and a text and, once a table claims them, that table as
// __objclass__ (option_meta.cpp). It behaves like:
//
//     class Option(int):
//         def __new__(cls, code, name, text=None): ...  # name, text and
//                                                       # __objclass__ None
//         def __str__(self): return self.name
//         def __repr__(self):
//             owner = self.__objclass__.__name__
//             return f"<{owner}.{self.name}: {int(self)}>"
//         __setattr__ = __delattr__ = read_only          # AttributeError
//         def __reduce_ex__(self, proto):
//             return getattr, (self.__objclass__, self.name)
#include "comm/records/option_classes.hpp"

#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"

namespace comm {

using py::Ref;

namespace {

// Option.__new__(cls, code, name, text=None): a free-standing entry until a
// table claims it.
PyObject *
Option_new(PyObject *module, PyObject *const *args, size_t nargsf,
           PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError,
                        "Option.__new__(): not enough arguments");
        return nullptr;
    }
    PyObject *names[] = {st->str_code, st->str_name, st->str_text};
    py::Signature sig = {"Option.__new__", names, 3, 2, 1};
    PyObject *bound[3]; // borrowed from the caller's vector
    if (py::bind_args(sig, args + 1, static_cast<size_t>(nargs - 1), kwnames,
                      bound) < 0) {
        return nullptr;
    }
    PyObject *name = bound[1];
    PyObject *text = bound[2] ? bound[2] : Py_None;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "an option's name must be str, not '%s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    Ref code = Ref::steal(PyNumber_Index(bound[0]));
    if (!code) {
        return nullptr;
    }
    // super().__new__(cls, code), with int.__new__'s own checks on cls.
    Ref int_new =
        get_attr(reinterpret_cast<PyObject *>(&PyLong_Type), st->str___new__);
    if (!int_new) {
        return nullptr;
    }
    PyObject *new_args[] = {args[0], code.get()};
    Ref self =
        Ref::steal(PyObject_Vectorcall(int_new.get(), new_args, 2, nullptr));
    if (!self) {
        return nullptr;
    }
    // Entries are read-only to Python; only the generic setter fills them.
    if (PyObject_GenericSetAttr(self.get(), st->str_name, name) < 0) {
        return nullptr;
    }
    if (PyObject_GenericSetAttr(self.get(), st->str_text, text) < 0) {
        return nullptr;
    }
    if (PyObject_GenericSetAttr(self.get(), st->str___objclass__, Py_None) <
        0) {
        return nullptr;
    }
    return self.release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
Option_str(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(self);
    if (st == nullptr) {
        return nullptr;
    }
    return get_attr(self, st->str_name).release();
    COMM_ENTRY_END(nullptr)
}

// <PumpStatus.RUN: 2>, or <Option X: 5> for an entry of no table.
PyObject *
Option_repr(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(self);
    if (st == nullptr) {
        return nullptr;
    }
    Ref name = get_attr(self, st->str_name);
    if (!name) {
        return nullptr;
    }
    Ref owner = get_attr(self, st->str___objclass__);
    if (!owner) {
        return nullptr;
    }
    Ref number = Ref::steal(PyLong_Type.tp_repr(self)); // int.__repr__
    if (!number) {
        return nullptr;
    }
    if (owner.get() == Py_None) {
        return PyUnicode_FromFormat("<%s %S: %U>", Py_TYPE(self)->tp_name,
                                    name.get(), number.get());
    }
    Ref owner_name = get_attr(owner.get(), st->str___name__);
    if (!owner_name) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<%S.%S: %U>", owner_name.get(), name.get(),
                                number.get());
    COMM_ENTRY_END(nullptr)
}

int
read_only(PyObject *self, PyObject *name)
{
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError,
                     "attribute name must be string, not '%s'",
                     Py_TYPE(name)->tp_name);
        return -1;
    }
    PyErr_Format(PyExc_AttributeError,
                 "'%s' object attribute '%U' is read-only",
                 Py_TYPE(self)->tp_name, name);
    return -1;
}

PyObject *
Option_setattr(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    read_only(self, args[0]);
    return nullptr;
}

PyObject *
Option_delattr(PyObject *self, PyObject *name)
{
    read_only(self, name);
    return nullptr;
}

// (getattr, (table, name)): copy, deepcopy and pickle give the entry itself.
// An entry of no table comes back as an equal new one.
PyObject *
Option_reduce(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(self);
    if (st == nullptr) {
        return nullptr;
    }
    Ref owner = get_attr(self, st->str___objclass__);
    if (!owner) {
        return nullptr;
    }
    Ref name = get_attr(self, st->str_name);
    if (!name) {
        return nullptr;
    }
    if (owner.get() == Py_None) {
        Ref text = get_attr(self, st->str_text);
        if (!text) {
            return nullptr;
        }
        Ref code = Ref::steal(PyNumber_Index(self));
        if (!code) {
            return nullptr;
        }
        return Py_BuildValue("(O(OOO))",
                             reinterpret_cast<PyObject *>(Py_TYPE(self)),
                             code.get(), name.get(), text.get());
    }
    Ref getattr;
    int found =
        py::dict_get_item_ref(PyEval_GetBuiltins(), st->str_getattr, &getattr);
    if (found <= 0) {
        if (found == 0) {
            PyErr_SetString(PyExc_RuntimeError, "lost builtins.getattr");
        }
        return nullptr;
    }
    return Py_BuildValue("(O(OO))", getattr.get(), owner.get(), name.get());
    COMM_ENTRY_END(nullptr)
}

PyObject *
Option_reduce_ex(PyObject *self, PyObject *)
{
    return Option_reduce(self, nullptr); // the same for every protocol
}

} // namespace

PyMethodDef Option_new_def = {
    "__new__", COMM_METH(Option_new), METH_FASTCALL | METH_KEYWORDS,
    "__new__(cls, code, name, text=None)\n--\n\n"
    "An entry with this code and name, belonging to no table."};

PyMethodDef Option_methods[] = {
    {"__str__", COMM_METH(Option_str), METH_NOARGS,
     "__str__($self, /)\n--\n\nThe entry's name."},
    {"__repr__", COMM_METH(Option_repr), METH_NOARGS,
     "__repr__($self, /)\n--\n\nThe table, name and code, as <PumpStatus.RUN: "
     "2>."},
    {"__setattr__", COMM_METH(Option_setattr), METH_FASTCALL,
     "__setattr__($self, name, value, /)\n--\n\nRefused: entries are "
     "read-only."},
    {"__delattr__", COMM_METH(Option_delattr), METH_O,
     "__delattr__($self, name, /)\n--\n\nRefused: entries are read-only."},
    {"__reduce_ex__", COMM_METH(Option_reduce_ex), METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\n"
     "Copies and pickles stand for the very same entry of its table."},
    {"__reduce__", COMM_METH(Option_reduce), METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Copies and pickles stand for the very same entry of its table."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace comm
