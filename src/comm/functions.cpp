// hex_str and list_ports, the module's two free functions.
//
//     def hex_str(data):
//         if isinstance(data, int): return hex(data)
//         if isinstance(data, (bytes, list)): return " ".join(hex(x) for x in data)
//         return str(data)
//
//     def list_ports():
//         return list(serial.tools.list_ports.comports())
#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/startup.hpp"

#include <string>

namespace comm {

using py::Ref;

namespace {

// Appends hex(value) for a small int without a round trip through Python.
void
append_hex(std::string &out, long value)
{
    static const char digits[] = "0123456789abcdef";
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                        : static_cast<unsigned long>(value);
    if (value < 0) {
        out += '-';
    }
    out += "0x";
    char buf[sizeof(long) * 2];
    std::size_t n = 0;
    do {
        buf[n++] = digits[magnitude & 0xF];
        magnitude >>= 4;
    } while (magnitude != 0);
    while (n > 0) {
        out += buf[--n];
    }
}

// Appends hex(item) as the builtin computes it (through __index__).
int
append_hex_object(std::string &out, PyObject *item)
{
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(item, &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred())) {
            append_hex(out, v);
            return 0;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    Ref text = Ref::steal(PyNumber_ToBase(item, 16));
    if (!text) {
        return -1;
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        return -1;
    }
    out.append(utf8, static_cast<std::size_t>(size));
    return 0;
}

PyObject *
hex_join(PyObject *data)
{
    std::string out;
    if (PyBytes_Check(data)) {
        // Bytes are immutable: the buffer stays put while we read it.
        const auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data));
        Py_ssize_t n = PyBytes_GET_SIZE(data);
        out.reserve(static_cast<std::size_t>(n) * 5);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) {
                out += ' ';
            }
            append_hex(out, p[i]);
        }
    }
    else if (PyList_CheckExact(data)) {
        // __index__ of an element may run Python code that changes the list:
        // re-read the size and re-own each element, as iteration does.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(data, i));
            if (i > 0) {
                out += ' ';
            }
            if (append_hex_object(out, item.get()) < 0) {
                return nullptr;
            }
        }
    }
    else {
        // A list subclass may iterate its own way.
        Ref it = Ref::steal(PyObject_GetIter(data));
        if (!it) {
            return nullptr;
        }
        bool first = true;
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            if (!first) {
                out += ' ';
            }
            first = false;
            if (append_hex_object(out, item.get()) < 0) {
                return nullptr;
            }
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return PyUnicode_DecodeASCII(out.data(), static_cast<Py_ssize_t>(out.size()),
                                 nullptr);
}

PyObject *
module_hex_str(PyObject *module, PyObject *const *args, size_t nargsf,
               PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    PyObject *data = nullptr;
    if (PyVectorcall_NARGS(nargsf) == 1 && kwnames == nullptr) {
        data = args[0];  // the usual call, without the binder
    }
    else {
        ModuleState *st = state_of_module(module);
        PyObject *names[] = {st->str_data};
        py::Signature sig = {"hex_str", names, 1, 1, 0};
        if (py::bind_args(sig, args, nargsf, kwnames, &data) < 0) {
            return nullptr;
        }
    }
    return hex_text(data).release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
module_list_ports(PyObject *module, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    Ref serial = lookup_global(module, st->str_serial);
    if (!serial) {
        return nullptr;
    }
    Ref tools = Ref::steal(PyObject_GetAttr(serial.get(), st->str_tools));
    if (!tools) {
        return nullptr;
    }
    Ref list_ports = Ref::steal(PyObject_GetAttr(tools.get(), st->str_list_ports));
    if (!list_ports) {
        return nullptr;
    }
    Ref ports = Ref::steal(PyObject_CallMethodNoArgs(list_ports.get(), st->str_comports));
    if (!ports) {
        return nullptr;
    }
    return PySequence_List(ports.get());
    COMM_ENTRY_END(nullptr)
}

PyMethodDef hex_str_def = {
    "hex_str", COMM_METH(module_hex_str), METH_FASTCALL | METH_KEYWORDS,
    "hex_str(data)\n--\n\n"
    "Hexadecimal text of an int, or of each element of a bytes or list\n"
    "object joined by blanks; str(data) for anything else."};

PyMethodDef list_ports_def = {
    "list_ports", COMM_METH(module_list_ports), METH_NOARGS,
    "list_ports()\n--\n\n"
    "The machine's serial ports, as pyserial's port-information objects."};

}  // namespace

Ref
hex_text(PyObject *data)
{
    if (PyLong_Check(data)) {
        return Ref::steal(PyNumber_ToBase(data, 16));
    }
    if (PyBytes_Check(data) || PyList_Check(data)) {
        return Ref::steal(hex_join(data));
    }
    return Ref::steal(PyObject_Str(data));
}

// A builtin function bound to the module, named after it.
Ref
make_module_function(PyObject *module, PyMethodDef *def)
{
    ModuleState *st = state_of_module(module);
    Ref modname = lookup_global(module, st->str___name__);
    if (!modname) {
        return Ref();
    }
    return Ref::steal(PyCFunction_NewEx(def, module, modname.get()));
}

int
add_functions(PyObject *module)
{
    if (py::module_add(module, "hex_str",
                       make_module_function(module, &hex_str_def)) < 0) {
        return -1;
    }
    return py::module_add(module, "list_ports",
                          make_module_function(module, &list_ports_def));
}

}  // namespace comm
