// hex_str and list_ports, the module's two free functions.
//
//     def hex_str(data):
//         if isinstance(data, int): return hex(data)
//         if isinstance(data, (bytes, list)): return " ".join(hex(x) for x in
//         data) return str(data)
//
//     def list_ports():
//         return list(serial.tools.list_ports.comports())
#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <utility>

namespace comm {

using py::Ref;

namespace {

// " ".join(hex(x) for x in data), iterated as the generator iterates: an
// element's __index__ that changes the list is seen as Python sees it.
Ref
hex_join(PyObject *data)
{
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) {
        return Ref();
    }
    Ref it = Ref::steal(PyObject_GetIter(data));
    if (!it) {
        return Ref();
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref text = Ref::steal(PyNumber_ToBase(item.get(), 16));
        if (!text) {
            return Ref();
        }
        if (PyList_Append(parts.get(), text.get()) < 0) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    Ref blank = Ref::steal(PyUnicode_FromString(" "));
    if (!blank) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Join(blank.get(), parts.get()));
}

// hex_str(data): the text for an int, a bytes or list object, or anything.
Ref
hex_text(PyObject *data)
{
    if (PyLong_Check(data)) {
        return Ref::steal(PyNumber_ToBase(data, 16));
    }
    if (PyBytes_Check(data) || PyList_Check(data)) {
        return hex_join(data);
    }
    return Ref::steal(PyObject_Str(data));
}

PyObject *
module_hex_str(PyObject *module, PyObject *const *args, size_t nargsf,
               PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    PyObject *names[] = {st->str_data};
    py::Signature sig = {"hex_str", names, 1, 1, 0};
    PyObject *data = nullptr; // borrowed from the caller's vector
    if (py::bind_args(sig, args, nargsf, kwnames, &data) < 0) {
        return nullptr;
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
    Ref list_ports =
        Ref::steal(PyObject_GetAttr(tools.get(), st->str_list_ports));
    if (!list_ports) {
        return nullptr;
    }
    Ref ports = Ref::steal(
        PyObject_CallMethodNoArgs(list_ports.get(), st->str_comports));
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

} // namespace

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

} // namespace comm
