// The device class Kelt: the class, its method table and the queries; the
// exchange and the transaction themselves are in exchange.cpp, and Kelt(...)
// itself in kelt_call.cpp. The class is made by calling type(), as its class
// statement would be run, so it and its instances are those of a Python
// class:
//
//     class Kelt:
//         __gsh = [0x55, 0xAA, 0x05, PROD_ID, PC2PUMP]
//         __grh = [0x55, 0xAA, 0x05, PROD_ID, PUMP2PC]
//         def __init__(self, port="COM1", baud_rate=9600, timeout=1):
//             self.port = port; self.baud_rate = baud_rate; self.timeout =
//             timeout
//         def __sr(self, data, recv_len=32): ...           # open, write,
//         read, close def __chkd(self, data): ...                      # check
//         data def __send_and_recv(self, command, data_send=[], to_addr=None,
//         to_channel=None): ... def get_pump_status(self, addr=None,
//         channel=None): ... def get_pump_alarm(self, addr=None,
//         channel=None): ... def get_kvo_rate(self, data, addr=None,
//         channel=None): ... def __send_commands(self, head_data_list,
//         addr=None, channel=None): ... def get_all_status(self, addr=None,
//         channel=None): ... get_value_str = staticmethod(lambda command,
//         value: ...)
//
// The methods reach each other through attributes of self (self.__sr is
// self._Kelt__sr), so subclasses and instances may override them.
#include "comm/call_time.hpp"
#include "comm/device/exchange.hpp"
#include "comm/device/kelt_call.hpp"
#include "comm/device/render.hpp"
#include "comm/device/verdict.hpp"
#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/methods.hpp"
#include "comm/py/state.hpp"
#include "comm/py/unpack.hpp"
#include "comm/startup.hpp"

#include <cstddef>
#include <iterator>

namespace comm {

using py::Ref;

namespace {

// ------------------------------------------------------------ entry points

using NameSlot = PyObject *ModuleState::*;

// The bound arguments of one call.
struct Call {
    PyObject *self;   // the instance; the class for get_value_str
    PyObject *module; // borrowed from the defining class
    ModuleState *st;
    NameSlot command;   // Command.<name> that a query sends
    PyObject *given[4]; // borrowed; null where a default applies

    PyObject *
    arg(std::size_t i, PyObject *fallback = Py_None) const
    {
        return given[i] ? given[i] : fallback;
    }
};

using Body = Ref (*)(const Call &);

constexpr std::size_t kMaxParams = 4;

// One row per Python-visible method: how its arguments bind, and its body.
struct Entry {
    const char *qualname;        // as Python reports it in a TypeError
    NameSlot command;            // for a query: the Command entry it sends
    NameSlot params[kMaxParams]; // parameters after self, in order
    Py_ssize_t nparams;
    Py_ssize_t nrequired; // the first nrequired have no default
    Body body;
};

// self.port = port; self.baud_rate = baud_rate; self.timeout = timeout,
// each through the class's __setattr__ (set_field, kelt_call.cpp), so an
// override or a descriptor of the class sees it.
Ref
init_body(const Call &c)
{
    ModuleState *st = c.st;
    if (set_field(c.self, st->str_port, c.arg(0, st->default_port)) < 0) {
        return Ref();
    }
    if (set_field(c.self, st->str_baud_rate, c.arg(1, st->default_baud_rate)) <
        0) {
        return Ref();
    }
    if (set_field(c.self, st->str_timeout, c.arg(2, st->default_timeout)) <
        0) {
        return Ref();
    }
    return Ref::borrow(Py_None);
}

Ref
sr_body(const Call &c)
{
    Py_ssize_t recv_len = 32;
    if (c.given[1] != nullptr) {
        recv_len = PyNumber_AsSsize_t(c.given[1], PyExc_OverflowError);
        if (recv_len == -1 && PyErr_Occurred()) {
            return Ref();
        }
    }
    return serial_exchange(c.self, c.module, c.given[0], recv_len);
}

Ref
chkd_body(const Call &c)
{
    return check_data_rule(c.given[0]);
}

Ref
send_and_recv_body(const Call &c)
{
    // The shared empty default is only ever read.
    return transaction(c.self, c.module, c.given[0],
                       c.arg(1, c.st->empty_data), c.arg(2), c.arg(3));
}

// self.__send_and_recv(command=Command.<name>, [data_send=data,]
//                      to_addr=addr, to_channel=channel)
Ref
query(const Call &c, PyObject *data, PyObject *addr, PyObject *channel)
{
    ModuleState *st = c.st;
    Ref commands = lookup_global(c.module, st->str_Command);
    if (!commands) {
        return Ref();
    }
    Ref command = Ref::steal(PyObject_GetAttr(commands.get(), st->*c.command));
    if (!command) {
        return Ref();
    }
    Ref method =
        Ref::steal(PyObject_GetAttr(c.self, st->str__Kelt__send_and_recv));
    if (!method) {
        return Ref();
    }
    if (data != nullptr) {
        PyObject *args[] = {command.get(), data, addr, channel};
        return Ref::steal(
            PyObject_Vectorcall(method.get(), args, 0, st->kw_send_item));
    }
    PyObject *args[] = {command.get(), addr, channel};
    return Ref::steal(
        PyObject_Vectorcall(method.get(), args, 0, st->kw_query));
}

Ref
query_body(const Call &c)
{
    return query(c, nullptr, c.arg(0), c.arg(1));
}

Ref
query_with_data_body(const Call &c)
{
    return query(c, c.given[0], c.arg(1), c.arg(2));
}

// On success the value becomes the status code itself.
Ref
pump_status_body(const Call &c)
{
    ModuleState *st = c.st;
    Ref rc = query_body(c);
    if (!rc) {
        return Ref();
    }
    Ref code = Ref::steal(PyObject_GetAttr(rc.get(), st->str_code));
    if (!code) {
        return Ref();
    }
    Ref codes = lookup_global(c.module, st->str_DeviceReturnCode);
    if (!codes) {
        return Ref();
    }
    Ref success = Ref::steal(PyObject_GetAttr(codes.get(), st->str_SUCCESS));
    if (!success) {
        return Ref();
    }
    int ok = PyObject_RichCompareBool(code.get(), success.get(), Py_EQ);
    if (ok < 0) {
        return Ref();
    }
    if (ok) {
        Ref real_data = Ref::steal(PyObject_GetAttr(rc.get(), st->str_value));
        if (!real_data) {
            return Ref();
        }
        Ref status = Ref::steal(PySequence_GetItem(real_data.get(), 0));
        if (!status) {
            return Ref();
        }
        if (PyObject_SetAttr(rc.get(), st->str_value, status.get()) < 0) {
            return Ref();
        }
    }
    return rc;
}

Ref
send_commands_body(const Call &c)
{
    ModuleState *st = c.st;
    PyObject *addr = c.arg(1), *channel = c.arg(2);
    Ref results = Ref::steal(PyList_New(0));
    if (!results) {
        return Ref();
    }
    Ref it = Ref::steal(PyObject_GetIter(c.given[0]));
    if (!it) {
        return Ref();
    }
    Ref pause = Ref::steal(PyFloat_FromDouble(0.1));
    if (!pause) {
        return Ref();
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref pair[2]; // command, data = item
        if (py::unpack(item.get(), pair, 2) < 0) {
            return Ref();
        }
        Ref method =
            Ref::steal(PyObject_GetAttr(c.self, st->str__Kelt__send_and_recv));
        if (!method) {
            return Ref();
        }
        PyObject *args[] = {pair[0].get(), pair[1].get(), addr, channel};
        Ref rc = Ref::steal(
            PyObject_Vectorcall(method.get(), args, 0, st->kw_send_item));
        if (!rc) {
            return Ref();
        }
        if (PyList_Append(results.get(), rc.get()) < 0) {
            return Ref();
        }
        Ref time = lookup_global(c.module, st->str_time);
        if (!time) {
            return Ref();
        }
        Ref slept = Ref::steal(
            PyObject_CallMethodOneArg(time.get(), st->str_sleep, pause.get()));
        if (!slept) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    return results;
}

Ref
all_status_body(const Call &c)
{
    ModuleState *st = c.st;
    Ref commands = lookup_global(c.module, st->str_Command);
    if (!commands) {
        return Ref();
    }
    // The full status set: five (command, []) pairs, each list new.
    PyObject *const order[] = {st->str_GET_PUMP_STATUS,
                               st->str_GET_PUMPDOOR_STATUS,
                               st->str_GET_REMAIN_TIME, st->str_GET_RATE_UNIT,
                               st->str_GET_PUMP_ALARM};
    // As the list display does: the items first, then the list, so that no
    // look-up (Python code) can meet the list half-built.
    Ref pairs[std::size(order)];
    for (std::size_t i = 0; i < std::size(order); ++i) {
        Ref command = Ref::steal(PyObject_GetAttr(commands.get(), order[i]));
        if (!command) {
            return Ref();
        }
        Ref data = Ref::steal(PyList_New(0));
        if (!data) {
            return Ref();
        }
        pairs[i] = Ref::steal(PyTuple_Pack(2, command.get(), data.get()));
        if (!pairs[i]) {
            return Ref();
        }
    }
    Ref set = Ref::steal(PyList_New(std::size(order)));
    if (!set) {
        return Ref();
    }
    for (std::size_t i = 0; i < std::size(order); ++i) {
        PyList_SET_ITEM(set.get(), static_cast<Py_ssize_t>(i),
                        pairs[i].release());
    }
    PyObject *call_args[] = {c.self, set.get(), c.arg(0), c.arg(1)};
    return Ref::steal(PyObject_VectorcallMethod(
        st->str__Kelt__send_commands, call_args,
        2 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_addr_channel));
}

Ref
value_str_body(const Call &c)
{
    return value_text(c.module, c.given[0], c.given[1]);
}

enum EntryIndex : std::size_t {
    kInit,
    kSr,
    kChkd,
    kSendAndRecv,
    kPumpStatus,
    kPumpAlarm,
    kKvoRate,
    kSendCommands,
    kAllStatus,
    kValueStr,
};

using M = ModuleState;
const Entry kEntries[] = {
    {"Kelt.__init__",
     nullptr,
     {&M::str_port, &M::str_baud_rate, &M::str_timeout},
     3,
     0,
     init_body},
    {"Kelt.__sr", nullptr, {&M::str_data, &M::str_recv_len}, 2, 1, sr_body},
    {"Kelt.__chkd", nullptr, {&M::str_data}, 1, 1, chkd_body},
    {"Kelt.__send_and_recv",
     nullptr,
     {&M::str_command, &M::str_data_send, &M::str_to_addr, &M::str_to_channel},
     4,
     1,
     send_and_recv_body},
    {"Kelt.get_pump_status",
     &M::str_GET_PUMP_STATUS,
     {&M::str_addr, &M::str_channel},
     2,
     0,
     pump_status_body},
    {"Kelt.get_pump_alarm",
     &M::str_GET_PUMP_ALARM,
     {&M::str_addr, &M::str_channel},
     2,
     0,
     query_body},
    {"Kelt.get_kvo_rate",
     &M::str_GET_KVO_RATE,
     {&M::str_data, &M::str_addr, &M::str_channel},
     3,
     1,
     query_with_data_body},
    {"Kelt.__send_commands",
     nullptr,
     {&M::str_head_data_list, &M::str_addr, &M::str_channel},
     3,
     1,
     send_commands_body},
    {"Kelt.get_all_status",
     nullptr,
     {&M::str_addr, &M::str_channel},
     2,
     0,
     all_status_body},
    {"Kelt.get_value_str",
     nullptr,
     {&M::str_command, &M::str_value},
     2,
     2,
     value_str_body},
};

// Binds the arguments of row `e` and runs its body, for the module that
// defined the class.
PyObject *
run_bound(const Entry &e, PyObject *self, PyObject *module,
          PyObject *const *args, size_t nargsf, PyObject *kwnames,
          Py_ssize_t self_count)
{
    Call c{self, module, state_of_module(module), e.command, {}};
    PyObject *names[kMaxParams];
    for (Py_ssize_t i = 0; i < e.nparams; ++i) {
        names[i] = c.st->*e.params[i];
    }
    py::Signature sig = {e.qualname, names, e.nparams, e.nrequired,
                         self_count};
    if (py::bind_args(sig, args, nargsf, kwnames, c.given) < 0) {
        return nullptr;
    }
    Ref result = e.body(c);
    assert(result || PyErr_Occurred());
    return result.release();
}

// The one shared entry: finds the module through `defining`, then runs row
// `e`.
PyObject *
run_entry(const Entry &e, PyObject *self, PyTypeObject *defining,
          PyObject *const *args, size_t nargsf, PyObject *kwnames,
          Py_ssize_t self_count)
{
    PyObject *module = module_of_type(defining); // borrowed from the class
    if (module == nullptr) {
        return nullptr;
    }
    return run_bound(e, self, module, args, nargsf, kwnames, self_count);
}

template <std::size_t I>
PyObject *
Kelt_method(PyObject *self, PyTypeObject *defining, PyObject *const *args,
            size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    return run_entry(kEntries[I], self, defining, args, nargsf, kwnames, 1);
    COMM_ENTRY_END(nullptr)
}

// Static: CPython passes the function's `self`, which is the class.
template <std::size_t I>
PyObject *
Kelt_static(PyObject *cls, PyObject *const *args, size_t nargsf,
            PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    return run_entry(kEntries[I], cls, reinterpret_cast<PyTypeObject *>(cls),
                     args, nargsf, kwnames, 0);
    COMM_ENTRY_END(nullptr)
}

} // namespace

PyObject *
Kelt_init(PyObject *self, PyTypeObject *defining, PyObject *const *args,
          size_t nargsf, PyObject *kwnames)
{
    return Kelt_method<kInit>(self, defining, args, nargsf, kwnames);
}

PyObject *
Kelt_init_in(PyObject *module, PyObject *self, PyObject *const *args,
             size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    return run_bound(kEntries[kInit], self, module, args, nargsf, kwnames, 1);
    COMM_ENTRY_END(nullptr)
}

namespace {

constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// In the order of the class body; private names are mangled on attaching.
PyMethodDef Kelt_methods[] = {
    {"__init__", COMM_METH(Kelt_init), kMethodFlags,
     "__init__($self, /, port='COM1', baud_rate=9600, timeout=1)\n--\n\n"},
    {"__sr", COMM_METH(Kelt_method<kSr>), kMethodFlags,
     "__sr($self, /, data, recv_len=32)\n--\n\n"},
    {"__chkd", COMM_METH(Kelt_method<kChkd>), kMethodFlags,
     "__chkd($self, /, data)\n--\n\n"},
    {"__send_and_recv", COMM_METH(Kelt_method<kSendAndRecv>), kMethodFlags,
     "__send_and_recv($self, /, command, data_send=[], to_addr=None, "
     "to_channel=None)\n--\n\n"
     "\n"
     "        友人 USR-LG207 LoRa 设备\n"
     "        1. 透传 1v1， 两设备 地址 信道 一致即可。 to_addr, to_channel "
     "不传\n"
     "        2. 定点， 设备 地址、信道 不一致。 to_addr, to_channel 都要传\n"
     "        3. 主从， 主设备和从设备的信道要一样，地址不同。 只传 to_addr.\n"
     "        4. 其他\n"
     "        "},
    {"get_pump_status", COMM_METH(Kelt_method<kPumpStatus>), kMethodFlags,
     "get_pump_status($self, /, addr=None, channel=None)\n--\n\n"},
    {"get_pump_alarm", COMM_METH(Kelt_method<kPumpAlarm>), kMethodFlags,
     "get_pump_alarm($self, /, addr=None, channel=None)\n--\n\n"},
    {"get_kvo_rate", COMM_METH(Kelt_method<kKvoRate>), kMethodFlags,
     "get_kvo_rate($self, /, data, addr=None, channel=None)\n--\n\n"},
    {"__send_commands", COMM_METH(Kelt_method<kSendCommands>), kMethodFlags,
     "__send_commands($self, /, head_data_list, addr=None, "
     "channel=None)\n--\n\n"},
    {"get_all_status", COMM_METH(Kelt_method<kAllStatus>), kMethodFlags,
     "get_all_status($self, /, addr=None, channel=None)\n--\n\n"
     "\n"
     "        returns: pump status, remain time\n"
     "        "},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef Kelt_static_methods[] = {
    {"get_value_str", COMM_METH(Kelt_static<kValueStr>),
     METH_FASTCALL | METH_KEYWORDS, "get_value_str(command, value)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// [0x55, 0xAA, 0x05, PROD_ID, <direction>], the constants as they stand now.
Ref
frame_header(PyObject *module, const char *direction)
{
    Ref header = Ref::steal(Py_BuildValue("[iii]", 0x55, 0xAA, 0x05));
    if (!header) {
        return Ref();
    }
    for (const char *name : {"PROD_ID", direction}) {
        Ref value = Ref::steal(PyObject_GetAttrString(module, name));
        if (!value) {
            return Ref();
        }
        if (PyList_Append(header.get(), value.get()) < 0) {
            return Ref();
        }
    }
    return header;
}

} // namespace

bool
is_class_chkd(PyObject *method, PyObject *self)
{
    return PyCFunction_Check(method) && PyCFunction_GET_SELF(method) == self &&
           PyCFunction_GET_FUNCTION(method) == COMM_METH(Kelt_method<kChkd>);
}

// As a class statement: the class, then its body in order (the frame
// headers, then the methods), then the module binding.
// As a class statement: type() called with the class body's first
// attributes (the frame headers), then the methods in their order, then the
// module binding. The class is an ordinary one, its instances keep their
// attributes as any Python object does.
int
add_kelt(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    // Each kept in the state at once, so that m_clear drops it if a later
    // step fails.
    st->default_port = PyUnicode_InternFromString("COM1");
    if (st->default_port == nullptr) {
        return -1;
    }
    st->default_baud_rate = PyLong_FromLong(9600);
    if (st->default_baud_rate == nullptr) {
        return -1;
    }
    st->default_timeout = PyLong_FromLong(1);
    if (st->default_timeout == nullptr) {
        return -1;
    }
    st->kw_query =
        PyTuple_Pack(3, st->str_command, st->str_to_addr, st->str_to_channel);
    if (st->kw_query == nullptr) {
        return -1;
    }
    st->kw_addr_channel = PyTuple_Pack(2, st->str_addr, st->str_channel);
    if (st->kw_addr_channel == nullptr) {
        return -1;
    }
    Ref modname = lookup_global(module, st->str___name__);
    if (!modname) {
        return -1;
    }
    Ref body = Ref::steal(PyDict_New());
    if (!body) {
        return -1;
    }
    if (PyDict_SetItemString(body.get(), "__module__", modname.get()) < 0) {
        return -1;
    }
    if (PyDict_SetItemString(body.get(), "__qualname__", st->str_Kelt) < 0) {
        return -1;
    }
    Ref gsh = frame_header(module, "PC2PUMP");
    if (!gsh) {
        return -1;
    }
    if (PyDict_SetItem(body.get(), st->str__Kelt__gsh, gsh.get()) < 0) {
        return -1;
    }
    Ref grh = frame_header(module, "PUMP2PC");
    if (!grh) {
        return -1;
    }
    if (PyDict_SetItem(body.get(), st->str__Kelt__grh, grh.get()) < 0) {
        return -1;
    }
    Ref bases = Ref::steal(
        PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!bases) {
        return -1;
    }
    PyObject *args[] = {st->str_Kelt, bases.get(), body.get()};
    st->Kelt_type = PyObject_Vectorcall(
        reinterpret_cast<PyObject *>(&PyType_Type), args, 3, nullptr);
    if (st->Kelt_type == nullptr) {
        return -1;
    }
    PyObject *type = st->Kelt_type; // borrowed from the state
    // Our methods find the state through this (see set_defining_module).
    if (set_defining_module(type, module) < 0) {
        return -1;
    }
    if (py::attach_methods(type, Kelt_methods) < 0) {
        return -1;
    }
    if (set_init_signature(type, module) < 0) {
        return -1;
    }
    if (py::attach_static_methods(type, Kelt_static_methods, modname.get()) <
        0) {
        return -1;
    }
    install_kelt_call(reinterpret_cast<PyTypeObject *>(type));
    return PyModule_AddObjectRef(module, "Kelt", type);
}

} // namespace comm
