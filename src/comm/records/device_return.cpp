// DeviceReturnCode, the result codes, and DeviceReturn, the record of one
// exchange, with make_device_return, the one way our C++ makes a record.
// DeviceReturn is a heap class whose dict holds, as the class statement
// below would leave it, __init__, __repr__ and then the four class-level
// defaults:
//
//     class DeviceReturnCode(Options):
//         EXCEPTION = (-2, "Exeception occured")
//         ...                                   # nine entries, untranslated
//
//     class DeviceReturn:
//         def __init__(self, command, value=None,
//                      code=DeviceReturnCode.SUCCESS, message=""):
//             assert isinstance(command, Option)
//             assert code in DeviceReturnCode
//             self.value = value
//             self.code = code
//             self.command = command
//             self.message = message if message else code.text
//         def __repr__(self):
//             return ("<DeviceReturn command=" + str(self.command.name)
//                     + " code=" + str(self.code) + ", value=" +
//                     str(self.value)
//                     + ", message=" + str(self.message) + ">")
//         command = None
//         code = DeviceReturnCode.NOT_SET
//         message = DeviceReturnCode.NOT_SET.text   # "Not set"
//         value = None
#include "comm/records/device_return.hpp"

#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/methods.hpp"
#include "comm/py/state.hpp"
#include "comm/records/options.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <structmember.h> // T_PYSSIZET, READONLY on the 3.11 floor

#include <cstddef>

namespace comm {

using py::Ref;

namespace {

struct DeviceReturnObject {
    PyObject_HEAD PyObject *dict; // instance __dict__: the record's attributes
    PyObject *weakreflist;        // __weakref__
};

DeviceReturnObject *
as_record(PyObject *self)
{
    return reinterpret_cast<DeviceReturnObject *>(self);
}

const EntrySpec kResultCodes[] = {
    {"EXCEPTION", -2, "Exeception occured"},
    {"NOT_SET", -1, "Not set"},
    {"SUCCESS", 0, "Success"},
    {"NO_DATA_RETURN", 1, "No data returns."},
    {"INVALID_DATA_LENGTH", 2, "Data length must greater/equals than 7"},
    {"INVALID_CHECK_DATA", 3, "Check data is not correct"},
    {"INVALID_HEADER_DATA", 4, "Header data not match"},
    {"INVALID_APP_DATA", 5, "Application data not match"},
    {"INVALID_USER_DATA_LENGTH", 6,
     "User data length should same as 2nd byte in application header"},
};

// Pairs Py_ReprEnter with its leave: status() is 0 when entered, > 0 when
// the record is already being shown further up, < 0 on error.
class ReprGuard {
  public:
    explicit ReprGuard(PyObject *self) noexcept
        : self_(self), status_(Py_ReprEnter(self))
    {
    }
    ReprGuard(const ReprGuard &) = delete;
    ReprGuard &operator=(const ReprGuard &) = delete;
    ~ReprGuard()
    {
        if (status_ == 0 && !py::ended_mid_call()) {
            Py_ReprLeave(self_); // keeps a pending exception
        }
    }
    int
    status() const noexcept
    {
        return status_;
    }

  private:
    PyObject *self_;
    int status_;
};

// Raises the bare AssertionError of a failed `assert`.
PyObject *
assertion_failed()
{
    PyErr_SetNone(PyExc_AssertionError);
    return nullptr;
}

PyObject *
DeviceReturn_init(PyObject *self, PyObject *const *args, size_t nargsf,
                  PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    PyObject *found = module_of_type(Py_TYPE(self)); // borrowed
    if (found == nullptr) {
        return nullptr;
    }
    Ref module = Ref::borrow(found);
    ModuleState *st = state_of_module(module.get());
    PyObject *names[] = {st->str_command, st->str_value, st->str_code,
                         st->str_message};
    py::Signature sig = {"DeviceReturn.__init__", names, 4, 1, 1};
    PyObject *bound[4]; // borrowed from the caller's vector
    if (py::bind_args(sig, args, nargsf, kwnames, bound) < 0) {
        return nullptr;
    }
    PyObject *command = bound[0];
    PyObject *value = bound[1] ? bound[1] : Py_None;
    // The default lives in the state: re-owned before any Python code runs.
    Ref code = Ref::borrow(bound[2] ? bound[2] : st->default_code);
    PyObject *message = bound[3]; // nullptr stands for the default ""

    if (!st->optimize) {
        // Option and DeviceReturnCode as the module's globals are now.
        Ref option_class = lookup_global(module.get(), st->str_Option);
        if (!option_class) {
            return nullptr;
        }
        int ok = PyObject_IsInstance(command, option_class.get());
        if (ok <= 0) {
            return ok < 0 ? nullptr : assertion_failed();
        }
        Ref table = lookup_global(module.get(), st->str_DeviceReturnCode);
        if (!table) {
            return nullptr;
        }
        ok = PySequence_Contains(table.get(), code.get());
        if (ok <= 0) {
            return ok < 0 ? nullptr : assertion_failed();
        }
    }
    // Through setattr, in this order, so a subclass's property sees them so.
    if (PyObject_SetAttr(self, st->str_value, value) < 0) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, st->str_code, code.get()) < 0) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, st->str_command, command) < 0) {
        return nullptr;
    }
    int given = message ? PyObject_IsTrue(message) : 0;
    if (given < 0) {
        return nullptr;
    }
    Ref shown = given ? Ref::borrow(message)
                      : Ref::steal(PyObject_GetAttr(code.get(), st->str_text));
    if (!shown) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, st->str_message, shown.get()) < 0) {
        return nullptr;
    }
    return py::none();
    COMM_ENTRY_END(nullptr)
}

// str(getattr(self, name)), a new reference.
Ref
attr_text(PyObject *obj, PyObject *name)
{
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) {
        return Ref();
    }
    return Ref::steal(PyObject_Str(value.get()));
}

PyObject *
DeviceReturn_repr(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    ReprGuard guard(self);
    if (guard.status() != 0) {
        // Already shown further up: a value that holds its own record.
        return guard.status() < 0 ? nullptr
                                  : PyUnicode_FromString("<DeviceReturn ...>");
    }
    PyObject *found = module_of_type(Py_TYPE(self)); // borrowed
    if (found == nullptr) {
        return nullptr;
    }
    Ref module = Ref::borrow(found);
    ModuleState *st = state_of_module(module.get());
    Ref command = Ref::steal(PyObject_GetAttr(self, st->str_command));
    if (!command) {
        return nullptr;
    }
    Ref name = attr_text(command.get(), st->str_name);
    if (!name) {
        return nullptr;
    }
    Ref code = attr_text(self, st->str_code);
    if (!code) {
        return nullptr;
    }
    Ref value = attr_text(self, st->str_value);
    if (!value) {
        return nullptr;
    }
    Ref message = attr_text(self, st->str_message);
    if (!message) {
        return nullptr;
    }
    return PyUnicode_FromFormat(
        "<DeviceReturn command=%U code=%U, value=%U, message=%U>", name.get(),
        code.get(), value.get(), message.get());
    COMM_ENTRY_END(nullptr)
}

int
DeviceReturn_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_record(self)->dict);
    return 0;
}

int
DeviceReturn_clear(PyObject *self)
{
    Py_CLEAR(as_record(self)->dict);
    return 0;
}

void
DeviceReturn_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_record(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    (void)DeviceReturn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp); // instances of a heap type own a reference to it
}

// Attached after the class is made, so that the class dict lists them first
// and in this order; the slots then dispatch to them as for a Python class.
PyMethodDef DeviceReturn_methods[] = {
    {"__init__", COMM_METH(DeviceReturn_init), METH_FASTCALL | METH_KEYWORDS,
     "__init__($self, /, command, value=None, "
     "code=tarvelpump.comm.DeviceReturnCode.SUCCESS, message='')\n--\n\n"
     "The result of exchanging command: its value, result code and message\n"
     "(by default the code's text)."},
    {"__repr__", COMM_METH(DeviceReturn_repr), METH_NOARGS,
     "__repr__($self, /)\n--\n\n"
     "<DeviceReturn command=NAME code=CODE, value=VALUE, message=MESSAGE>"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef DeviceReturn_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(DeviceReturnObject, dict),
     READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET,
     offsetof(DeviceReturnObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// __weakref__ as a Python class shows it: the first weak reference, or None.
PyObject *
DeviceReturn_weakref(PyObject *self, void *)
{
    PyObject *first = as_record(self)->weakreflist; // borrowed
    return first ? Ref::borrow(first).release() : py::none();
}

PyGetSetDef DeviceReturn_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {"__weakref__", DeviceReturn_weakref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot DeviceReturn_slots[] = {
    {Py_tp_members, DeviceReturn_members},
    {Py_tp_getset, DeviceReturn_getset},
    {Py_tp_traverse, reinterpret_cast<void *>(DeviceReturn_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(DeviceReturn_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(DeviceReturn_dealloc)},
    {0, nullptr},
};

PyType_Spec DeviceReturn_spec = {
    "tarvelpump.comm.DeviceReturn",                                // name
    sizeof(DeviceReturnObject),                                    // basicsize
    0,                                                             // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, // flags
    DeviceReturn_slots,                                            // slots
};

} // namespace

int
add_device_return(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    if (py::module_add(module, "DeviceReturnCode",
                       make_table(module, "DeviceReturnCode", kResultCodes,
                                  sizeof kResultCodes / sizeof kResultCodes[0],
                                  false)) < 0) {
        return -1;
    }
    Ref type = Ref::steal(
        PyType_FromModuleAndSpec(module, &DeviceReturn_spec, nullptr));
    if (!type) {
        return -1;
    }
    // Kept in the state at once, so that m_clear drops it if a step fails.
    st->DeviceReturn_type = Ref::borrow(type.get()).release();
    // The default of `code`, taken once as `def __init__` would take it.
    Ref codes = lookup_global(module, st->str_DeviceReturnCode);
    if (!codes) {
        return -1;
    }
    Ref success = Ref::steal(PyObject_GetAttr(codes.get(), st->str_SUCCESS));
    if (!success) {
        return -1;
    }
    st->default_code = success.release(); // exec runs once per state
    if (py::attach_methods(type.get(), DeviceReturn_methods) < 0) {
        return -1;
    }
    if (set_init_signature(type.get(), module) < 0) {
        return -1;
    }
    Ref not_set = Ref::steal(PyObject_GetAttrString(codes.get(), "NOT_SET"));
    if (!not_set) {
        return -1;
    }
    Ref not_set_text =
        Ref::steal(PyObject_GetAttr(not_set.get(), st->str_text));
    if (!not_set_text) {
        return -1;
    }
    if (PyObject_SetAttr(type.get(), st->str_command, Py_None) < 0) {
        return -1;
    }
    if (PyObject_SetAttr(type.get(), st->str_code, not_set.get()) < 0) {
        return -1;
    }
    if (PyObject_SetAttr(type.get(), st->str_message, not_set_text.get()) <
        0) {
        return -1;
    }
    if (PyObject_SetAttr(type.get(), st->str_value, Py_None) < 0) {
        return -1;
    }
    return PyModule_AddType(module,
                            reinterpret_cast<PyTypeObject *>(type.get()));
}

Ref
make_device_return(PyObject *module, const RecordArgs &a)
{
    ModuleState *st = state_of_module(module);
    Ref record_class = lookup_global(module, st->str_DeviceReturn);
    if (!record_class) {
        return Ref();
    }
    Ref code = Ref::borrow(a.code);
    if (a.code_name != nullptr) {
        Ref codes = lookup_global(module, st->str_DeviceReturnCode);
        if (!codes) {
            return Ref();
        }
        code = Ref::steal(PyObject_GetAttr(codes.get(), a.code_name));
        if (!code) {
            return Ref();
        }
    }
    // The positional command, if any, then the values of the keywords given.
    size_t nargs = a.command_by_keyword ? 0 : 1;
    PyObject *args[4] = {a.command, nullptr, nullptr, nullptr};
    PyObject *names[4];
    Py_ssize_t nkw = 0;
    auto keyword = [&](PyObject *name, PyObject *value) {
        if (value != nullptr) {
            names[nkw] = name;
            args[nargs + static_cast<size_t>(nkw++)] = value;
        }
    };
    if (a.command_by_keyword) {
        keyword(st->str_command, a.command);
    }
    keyword(st->str_value, a.value);
    keyword(st->str_code, code.get());
    keyword(st->str_message, a.message);
    Ref kwnames;
    if (nkw > 0) {
        kwnames = Ref::steal(PyTuple_New(nkw));
        if (!kwnames) {
            return Ref();
        }
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyTuple_SET_ITEM(kwnames.get(), i,
                             Ref::borrow(names[i]).release());
        }
    }
    return Ref::steal(
        PyObject_Vectorcall(record_class.get(), args, nargs, kwnames.get()));
}

} // namespace comm
