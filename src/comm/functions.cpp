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
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <string>
#include <utility>

namespace comm {

using py::Ref;

namespace {

// hex(value) for a small int, written at `p` without a round trip through
// Python; returns the end of what it wrote (at most 19 characters).
char *
write_hex(char *p, long value)
{
    static const char digits[] = "0123456789abcdef";
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                        : static_cast<unsigned long>(value);
    if (value < 0) {
        *p++ = '-';
    }
    *p++ = '0';
    *p++ = 'x';
    int shift = 0;
    while (shift + 4 < static_cast<int>(sizeof(long) * 8) && (magnitude >> (shift + 4)) != 0) {
        shift += 4;
    }
    for (; shift >= 0; shift -= 4) {
        *p++ = digits[(magnitude >> shift) & 0xF];
    }
    return p;
}

std::size_t
hex_width(long value)
{
    char buf[24];
    return static_cast<std::size_t>(write_hex(buf, value) - buf);
}

void
append_hex(std::string &out, long value)
{
    char buf[24];
    out.append(buf, static_cast<std::size_t>(write_hex(buf, value) - buf));
}

// The common case, a bytes object or a list of plain ints, measured first and
// then written straight into the result: no buffer in between. 1 with *out
// set, 0 when a list holds anything else (the general path then runs), -1
// with an exception set.
int
hex_join_small(PyObject *data, Ref *out)
{
    bool is_bytes = PyBytes_Check(data);
    Py_ssize_t n = is_bytes ? PyBytes_GET_SIZE(data) : PyList_GET_SIZE(data);
    const auto *raw = is_bytes
        ? reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data)) : nullptr;
    // Exact ints run no Python code, so the list cannot change between passes.
    auto value_at = [&](Py_ssize_t i, long *v) {
        if (is_bytes) {
            *v = raw[i];
            return true;
        }
        PyObject *item = PyList_GET_ITEM(data, i);
        if (!PyLong_CheckExact(item)) {
            return false;
        }
        int overflow = 0;
        *v = PyLong_AsLongAndOverflow(item, &overflow);
        return overflow == 0;
    };
    std::size_t total = n > 0 ? static_cast<std::size_t>(n - 1) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        long v = 0;
        if (!value_at(i, &v)) {
            return 0;
        }
        total += hex_width(v);
    }
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(total), 127));
    if (!text) {
        return -1;
    }
    char *p = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        long v = 0;
        value_at(i, &v);
        if (i > 0) {
            *p++ = ' ';
        }
        p = write_hex(p, v);
    }
    *out = std::move(text);
    return 1;
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
    if (PyBytes_Check(data) || PyList_CheckExact(data)) {
        Ref text;
        int done = hex_join_small(data, &text);
        if (done != 0) {
            return text.release();  // null when done < 0
        }
    }
    std::string out;
    if (PyList_CheckExact(data)) {
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

// hex_str(data): the text for an int, a bytes or list object, or anything.
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
