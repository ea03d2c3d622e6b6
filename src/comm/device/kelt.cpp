// The device class Kelt: one serial exchange per request, the command
// transaction that validates the reply into a DeviceReturn, and the queries.
//
//     class Kelt:
//         __gsh = [0x55, 0xAA, 0x05, PROD_ID, PC2PUMP]
//         __grh = [0x55, 0xAA, 0x05, PROD_ID, PUMP2PC]
//         def __init__(self, port="COM1", baud_rate=9600, timeout=1): ...
//         def __sr(self, data, recv_len=32): ...           # open, write, read, close
//         def __chkd(self, data): ...                      # check data
//         def __send_and_recv(self, command, data_send=[], to_addr=None, to_channel=None): ...
//         def get_pump_status(self, addr=None, channel=None): ...
//         def get_pump_alarm(self, addr=None, channel=None): ...
//         def get_kvo_rate(self, data, addr=None, channel=None): ...
//         def __send_commands(self, head_data_list, addr=None, channel=None): ...
//         def get_all_status(self, addr=None, channel=None): ...
//         get_value_str = staticmethod(lambda command, value: ...)
//
// The methods reach each other through attributes of self (self.__sr is
// self._Kelt__sr), so subclasses and instances may override them.
#include "comm/device/frame.hpp"
#include "comm/device/render.hpp"
#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/startup.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <structmember.h>

namespace comm {

using py::Ref;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct KeltObject {
    PyObject_HEAD
    PyObject *dict;
    PyObject *weakreflist;
};

KeltObject *
as_kelt(PyObject *self)
{
    return reinterpret_cast<KeltObject *>(self);
}

// ---------------------------------------------------------------- helpers

// One element of a frame as bytes() takes it: an integer 0..255.
int
byte_of(PyObject *item, std::uint8_t *out)
{
    Ref index = Ref::steal(PyNumber_Index(item));
    if (!index) {
        return -1;
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow || v < 0 || v > 255) {
        PyErr_SetString(PyExc_ValueError, "bytes must be in range(0, 256)");
        return -1;
    }
    *out = static_cast<std::uint8_t>(v);
    return 0;
}

// Appends the first `limit` elements of a sequence (all when negative).
int
append_bytes(Bytes &out, PyObject *seq, Py_ssize_t limit = -1)
{
    if (PyBytes_Check(seq)) {
        const auto *p = reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(seq));
        Py_ssize_t n = PyBytes_GET_SIZE(seq);
        if (limit >= 0 && limit < n) {
            n = limit;
        }
        out.insert(out.end(), p, p + n);
        return 0;
    }
    Ref fast = Ref::steal(PySequence_Fast(seq, "expected a sequence of byte values"));
    if (!fast) {
        return -1;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    if (limit >= 0 && limit < n) {
        n = limit;
    }
    out.reserve(out.size() + static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint8_t b = 0;
        // The fast sequence owns its items; __index__ cannot change it.
        if (byte_of(PySequence_Fast_GET_ITEM(fast.get(), i), &b) < 0) {
            return -1;
        }
        out.push_back(b);
    }
    return 0;
}

// A header list that must be compared with reply bytes. A list that does not
// hold byte values can never equal a reply: it yields an unmatchable size.
Bytes
header_bytes(PyObject *header)
{
    Bytes out;
    if (append_bytes(out, header) < 0) {
        PyErr_Clear();
        out.assign(16, 0);  // no header of 16 bytes is ever expected
    }
    return out;
}

Ref
list_of(const std::uint8_t *p, std::size_t n)
{
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) {
        return Ref();
    }
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *v = PyLong_FromLong(p[i]);  // small ints: cached, cannot fail
        if (v == nullptr) {
            return Ref();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list;
}

// hex_str(data), the module's function looked up now.
Ref
call_hex_str(PyObject *module, PyObject *data)
{
    Ref fn = lookup_global(module, state_of_module(module)->str_hex_str);
    return fn ? Ref::steal(PyObject_CallOneArg(fn.get(), data)) : Ref();
}

// hex_str of a list of the bytes, as the reply list's slices are shown.
Ref
bytes_hex(PyObject *module, const std::uint8_t *p, std::size_t n)
{
    Ref list = list_of(p, n);
    return list ? call_hex_str(module, list.get()) : Ref();
}

// Logs a debug line when the logger is enabled for debug; the text is made
// only then, so a quiet logger costs one isEnabledFor call per exchange.
struct DebugLog {
    PyObject *module;
    Ref log;
    bool enabled = false;

    int
    init(PyObject *m)
    {
        module = m;
        ModuleState *st = state_of_module(m);
        log = lookup_global(m, st->str_log);
        if (!log) {
            return -1;
        }
        Ref level = Ref::steal(PyLong_FromLong(10));  // logging.DEBUG
        if (!level) {
            return -1;
        }
        Ref on = Ref::steal(
            PyObject_CallMethodOneArg(log.get(), st->str_isEnabledFor, level.get()));
        if (!on) {
            return -1;
        }
        int t = PyObject_IsTrue(on.get());
        if (t < 0) {
            return -1;
        }
        enabled = t != 0;
        return 0;
    }

    int
    line(Ref text)
    {
        if (!text) {
            return -1;
        }
        Ref r = Ref::steal(PyObject_CallMethodOneArg(
            log.get(), state_of_module(module)->str_debug, text.get()));
        return r ? 0 : -1;
    }
};

// Calls port.close() while an exception is pending, keeping that exception.
void
close_keeping_error(PyObject *port, PyObject *close_name)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(port, close_name));
    if (!r) {
        PyErr_Clear();  // the first failure is the one to report
    }
    PyErr_Restore(type, value, tb);
}

// The module and the bound arguments of one method call.
struct Call {
    PyObject *module = nullptr;  // borrowed from the defining class
    ModuleState *st = nullptr;
    PyObject *given[4] = {};     // borrowed; null where a default applies

    PyObject *
    arg(std::size_t i, PyObject *fallback = Py_None) const
    {
        return given[i] ? given[i] : fallback;
    }
};

using NameSlot = PyObject *ModuleState::*;

// Finds the module through the defining class and binds the arguments to
// the interned parameter names; -1 with an exception set on failure.
int
bind_call(Call &call, PyTypeObject *defining, const char *qualname,
          std::initializer_list<NameSlot> params, Py_ssize_t nrequired,
          PyObject *const *args, size_t nargsf, PyObject *kwnames,
          Py_ssize_t self_count = 1)
{
    call.module = module_of_type(defining);
    if (call.module == nullptr) {
        return -1;
    }
    call.st = state_of_module(call.module);
    PyObject *names[std::size(Call{}.given)];
    Py_ssize_t n = 0;
    for (NameSlot slot : params) {
        names[n++] = call.st->*slot;
    }
    py::Signature sig = {qualname, names, n, nrequired, self_count};
    return py::bind_args(sig, args, nargsf, kwnames, call.given);
}

// ------------------------------------------------------------ __init__

int
Kelt_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_type(Py_TYPE(self));
    if (st == nullptr) {
        return -1;
    }
    PyObject *names[] = {st->str_port, st->str_baud_rate, st->str_timeout};
    PyObject *given[3];
    py::Signature sig = {"Kelt.__init__", names, 3, 0, 1};
    if (py::bind_tuple_args(sig, args, kwargs, given) < 0) {
        return -1;
    }
    Ref port = given[0] ? Ref::borrow(given[0]) : Ref::steal(PyUnicode_FromString("COM1"));
    Ref baud = given[1] ? Ref::borrow(given[1]) : Ref::steal(PyLong_FromLong(9600));
    Ref timeout = given[2] ? Ref::borrow(given[2]) : Ref::steal(PyLong_FromLong(1));
    if (!port || !baud || !timeout) {
        return -1;
    }
    if (PyObject_SetAttr(self, st->str_port, port.get()) < 0 ||
        PyObject_SetAttr(self, st->str_baud_rate, baud.get()) < 0 ||
        PyObject_SetAttr(self, st->str_timeout, timeout.get()) < 0) {
        return -1;
    }
    return 0;
    COMM_ENTRY_END(-1)
}

// ------------------------------------------------------------ __sr

// Reads until recv_len bytes have come or a read brings nothing.
int
read_reply(PyObject *port, ModuleState *st, DebugLog &dbg, Py_ssize_t recv_len,
           Bytes &received)
{
    std::size_t want = recv_len > 0 ? static_cast<std::size_t>(recv_len) : 0;
    Ref size = Ref::steal(PyLong_FromSize_t(core::read_size(want)));
    if (!size) {
        return -1;
    }
    Py_ssize_t total = 0;
    if (recv_len <= 0 && dbg.enabled &&
        dbg.line(Ref::steal(PyUnicode_FromString("Finished. Total 0 bytes received."))) < 0) {
        return -1;
    }
    while (total < recv_len) {
        Ref chunk = Ref::steal(PyObject_CallMethodOneArg(port, st->str_read, size.get()));
        if (!chunk) {
            return -1;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) {
            return -1;
        }
        const auto *p = static_cast<const std::uint8_t *>(view.buf);
        Py_ssize_t n = view.len;
        received.insert(received.end(), p, p + n);
        PyBuffer_Release(&view);
        total += n;
        if (dbg.enabled) {
            Ref dump = bytes_hex(dbg.module, received.data() + (received.size() - static_cast<std::size_t>(n)),
                                 static_cast<std::size_t>(n));
            if (!dump || dbg.line(Ref::steal(PyUnicode_FromFormat(
                             "%zd bytes received. %U", n, dump.get()))) < 0) {
                return -1;
            }
        }
        if (n == 0 || total >= recv_len) {
            if (dbg.enabled &&
                dbg.line(Ref::steal(PyUnicode_FromFormat(
                    "Finished. Total %zd bytes received.", total))) < 0) {
                return -1;
            }
            break;
        }
    }
    return 0;
}

PyObject *
Kelt_sr(PyObject *self, PyTypeObject *defining, PyObject *const *args,
        size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.__sr",
                  {&ModuleState::str_data, &ModuleState::str_recv_len}, 1, args, nargsf,
                  kwnames) < 0) {
        return nullptr;
    }
    PyObject *module = c.module;
    ModuleState *st = c.st;
    PyObject *data = c.given[0];
    Py_ssize_t recv_len = 32;
    if (c.given[1] != nullptr) {
        recv_len = PyNumber_AsSsize_t(c.given[1], PyExc_OverflowError);
        if (recv_len == -1 && PyErr_Occurred()) {
            return nullptr;
        }
    }

    DebugLog dbg;
    Ref serial = lookup_global(module, st->str_serial);
    if (!serial || dbg.init(module) < 0) {
        return nullptr;
    }
    Ref serial_class = Ref::steal(PyObject_GetAttr(serial.get(), st->str_Serial));
    Ref port_name = Ref::steal(PyObject_GetAttr(self, st->str_port));
    Ref baud = port_name ? Ref::steal(PyObject_GetAttr(self, st->str_baud_rate)) : Ref();
    Ref timeout = baud ? Ref::steal(PyObject_GetAttr(self, st->str_timeout)) : Ref();
    if (!serial_class || !timeout) {
        return nullptr;
    }
    PyObject *ctor_args[] = {port_name.get(), baud.get(), timeout.get()};
    Ref port = Ref::steal(PyObject_Vectorcall(serial_class.get(), ctor_args, 0, st->kw_serial));
    if (!port) {
        return nullptr;
    }

    // From here on the port is closed on every path, also when a call fails,
    // so a failed exchange never leaves the device open.
    Bytes received;
    bool ok = false;
    do {
        Ref is_open = Ref::steal(PyObject_GetAttr(port.get(), st->str_is_open));
        int open = is_open ? PyObject_IsTrue(is_open.get()) : -1;
        if (open < 0) {
            break;
        }
        if (!open) {
            Ref r = Ref::steal(PyObject_CallMethodNoArgs(port.get(), st->str_open));
            if (!r) {
                break;
            }
        }
        Ref sent = Ref::steal(PyObject_CallMethodOneArg(port.get(), st->str_write, data));
        if (!sent) {
            break;
        }
        if (dbg.enabled) {
            Ref dump = call_hex_str(module, data);
            if (!dump || dbg.line(Ref::steal(PyUnicode_FromFormat(
                             "%S bytes sent. %U", sent.get(), dump.get()))) < 0) {
                break;
            }
        }
        if (read_reply(port.get(), st, dbg, recv_len, received) < 0) {
            break;
        }
        ok = true;
    } while (false);
    if (!ok) {
        close_keeping_error(port.get(), st->str_close);
        return nullptr;
    }
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(port.get(), st->str_close));
    if (!closed) {
        return nullptr;
    }
    return list_of(received.data(), received.size()).release();
    COMM_ENTRY_END(nullptr)
}

// ------------------------------------------------------------ __chkd

// Adds the integers items[0, n) to *sum as the check-data rule does: an
// element that is no integer is a TypeError, a sum out of range overflows.
int
add_ints(PyObject *const *items, Py_ssize_t n, long long *sum)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = Ref::steal(PyNumber_Index(items[i]));
        if (!index) {
            return -1;
        }
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (overflow || __builtin_add_overflow(*sum, v, sum)) {
            PyErr_SetString(PyExc_OverflowError, "int too big to convert");
            return -1;
        }
    }
    return 0;
}

// The check byte of a sum: the rule writes sum ^ 0xFFFF as four unsigned
// bytes and keeps the last, so a sum that does not fit is an OverflowError.
int
fold_check(long long sum)
{
    long long folded = sum ^ 0xFFFF;
    if (folded < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
        return -1;
    }
    if (folded > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return -1;
    }
    return static_cast<int>(folded & 0xFF);
}

// The check-data rule over Python integers: the seven header elements, then
// the user data that element 6 declares, as far as the sequence reaches.
PyObject *
Kelt_chkd(PyObject *, PyTypeObject *defining, PyObject *const *args,
          size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.__chkd", {&ModuleState::str_data}, 1, args, nargsf,
                  kwnames) < 0) {
        return nullptr;
    }
    PyObject *data = c.given[0];
    if (PyBytes_Check(data)) {
        core::ByteView view = {reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(data)),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(data))};
        return PyLong_FromLong(core::check_data(view));
    }
    Ref fast = Ref::steal(PySequence_Fast(data, "check data needs a sequence of byte values"));
    if (!fast) {
        return nullptr;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject **items = PySequence_Fast_ITEMS(fast.get());
    std::size_t end = core::check_data_end(static_cast<std::size_t>(n), 0);
    if (n > 7) {
        Py_ssize_t declared = PyNumber_AsSsize_t(items[6], PyExc_OverflowError);
        if (declared == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        end = core::check_data_end(static_cast<std::size_t>(n),
                                   declared > 0 ? static_cast<std::size_t>(declared) : 0);
    }
    long long sum = 0;
    if (add_ints(items, static_cast<Py_ssize_t>(end), &sum) < 0) {
        return nullptr;
    }
    int check = fold_check(sum);
    return check < 0 ? nullptr : PyLong_FromLong(check);
    COMM_ENTRY_END(nullptr)
}

// ------------------------------------------------------------ __send_and_recv

// DeviceReturn(command, code=DeviceReturnCode.<code>[, message=...][, value=...])
PyObject *
make_record(PyObject *module, PyObject *command, PyObject *code_name,
            PyObject *message = nullptr, PyObject *value = nullptr)
{
    ModuleState *st = state_of_module(module);
    Ref record_class = lookup_global(module, st->str_DeviceReturn);
    Ref codes = lookup_global(module, st->str_DeviceReturnCode);
    if (!record_class || !codes) {
        return nullptr;
    }
    Ref code = Ref::steal(PyObject_GetAttr(codes.get(), code_name));
    if (!code) {
        return nullptr;
    }
    PyObject *args[4] = {command, nullptr, nullptr, nullptr};
    PyObject *names[3];
    Py_ssize_t nkw = 0;
    if (value != nullptr) {
        names[nkw] = st->str_value;
        args[1 + nkw++] = value;
    }
    names[nkw] = st->str_code;
    args[1 + nkw++] = code.get();
    if (message != nullptr) {
        names[nkw] = st->str_message;
        args[1 + nkw++] = message;
    }
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyTuple_SET_ITEM(kwnames.get(), i, Ref::borrow(names[i]).release());
    }
    return PyObject_Vectorcall(record_class.get(), args, 1, kwnames.get());
}

// The address and channel bytes in front of a request; either is absent
// when false (None, 0, []). Errors come in the order of the request's
// assembly: the address's own conversion (to_bytes of an int, or joining a
// list), then bytes() over the prefix, which meets the address bytes before
// the channel.
int
radio_prefix(PyObject *to_addr, PyObject *to_channel, Bytes &address,
             bool &has_channel, std::uint8_t &channel)
{
    int t = PyObject_IsTrue(to_channel);
    if (t < 0) {
        return -1;
    }
    has_channel = t != 0;
    t = PyObject_IsTrue(to_addr);
    if (t < 0) {
        return -1;
    }
    if (t && PyLong_Check(to_addr)) {
        // to_addr.to_bytes(2, "big")
        if (_PyLong_Sign(to_addr) < 0) {
            PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
            return -1;
        }
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(to_addr, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (overflow || v > 0xFFFF) {
            PyErr_SetString(PyExc_OverflowError, "int too big to convert");
            return -1;
        }
        address.push_back(static_cast<std::uint8_t>(v >> 8));
        address.push_back(static_cast<std::uint8_t>(v & 0xFF));
    } else if (t) {
        if (!PyList_Check(to_addr)) {
            PyErr_Format(PyExc_TypeError,
                         "to_addr must be an int or a list of byte values, not '%.100s'",
                         Py_TYPE(to_addr)->tp_name);
            return -1;
        }
        if (append_bytes(address, to_addr) < 0) {
            return -1;
        }
    }
    if (has_channel && byte_of(to_channel, &channel) < 0) {
        return -1;
    }
    return 0;
}

// The check data of a request is computed before its radio prefix is looked
// at, so its errors come first: a user-data element that is no integer
// (TypeError), or a sum that the rule cannot write as four unsigned bytes
// (OverflowError). The range of each byte is bytes()'s test, made later.
int
check_data_computable(const Bytes &frame_header, const Bytes &app_header,
                      PyObject *data_send, Py_ssize_t n)
{
    if (PyBytes_Check(data_send)) {
        return 0;
    }
    Ref fast = Ref::steal(PySequence_Fast(data_send, "expected a sequence of byte values"));
    if (!fast) {
        return -1;
    }
    long long sum = 0;
    for (const Bytes *part : {&frame_header, &app_header}) {
        for (std::uint8_t b : *part) {
            sum += b;
        }
    }
    n = std::min(n, PySequence_Fast_GET_SIZE(fast.get()));
    if (add_ints(PySequence_Fast_ITEMS(fast.get()), n, &sum) < 0) {
        return -1;
    }
    return fold_check(sum) < 0 ? -1 : 0;
}

// The exchange raised: a SerialException (looked up now, as the handler's
// `except` clause would) becomes an EXCEPTION record, anything else goes on.
PyObject *
serial_failure(PyObject *module, PyObject *command)
{
    ModuleState *st = state_of_module(module);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref etype = Ref::steal(type), evalue = Ref::steal(value), etb = Ref::steal(tb);
    Ref serial = lookup_global(module, st->str_serial);
    Ref util = serial ? Ref::steal(PyObject_GetAttr(serial.get(), st->str_serialutil)) : Ref();
    Ref serial_error =
        util ? Ref::steal(PyObject_GetAttr(util.get(), st->str_SerialException)) : Ref();
    if (!serial_error) {
        return nullptr;  // the lookup's own error is the one to see
    }
    if (!PyErr_GivenExceptionMatches(etype.get(), serial_error.get())) {
        PyErr_Restore(etype.release(), evalue.release(), etb.release());
        return nullptr;
    }
    Ref text = Ref::steal(PyObject_Str(evalue.get()));
    if (!text) {
        return nullptr;
    }
    return make_record(module, command, st->str_EXCEPTION, text.get());
}

PyObject *
send_and_recv(PyObject *self, PyObject *module, PyObject *command,
              PyObject *data_send, PyObject *to_addr, PyObject *to_channel)
{
    ModuleState *st = state_of_module(module);
    Ref send_table = lookup_global(module, st->str_CommandSendAppHeader);
    if (!send_table) {
        return nullptr;
    }
    Ref send_header = Ref::steal(PyObject_GetItem(send_table.get(), command));
    if (!send_header) {
        return nullptr;
    }
    Ref recv_table = lookup_global(module, st->str_CommandRecvAppHeader);
    if (!recv_table) {
        return nullptr;
    }
    Ref recv_header = Ref::steal(PyObject_GetItem(recv_table.get(), command));
    if (!recv_header) {
        return nullptr;
    }
    Ref recv_n = Ref::steal(PySequence_GetItem(recv_header.get(), 1));
    if (!recv_n) {
        return nullptr;
    }
    Ref eight = Ref::steal(PyLong_FromLong(static_cast<long>(core::kFrameOverhead)));
    Ref recv_len = eight ? Ref::steal(PyNumber_Add(eight.get(), recv_n.get())) : Ref();
    if (!recv_len) {
        return nullptr;
    }

    Ref gsh = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__gsh));
    if (!gsh) {
        return nullptr;
    }
    Ref send_n = Ref::steal(PySequence_GetItem(send_header.get(), 1));
    if (!send_n) {
        return nullptr;
    }
    Py_ssize_t data_len = PyObject_Size(data_send);
    if (data_len < 0) {
        return nullptr;
    }
    Ref data_len_obj = Ref::steal(PyLong_FromSsize_t(data_len));
    if (!data_len_obj) {
        return nullptr;
    }
    int differs = PyObject_RichCompareBool(send_n.get(), data_len_obj.get(), Py_NE);
    if (differs < 0) {
        return nullptr;
    }
    if (differs) {
        return make_record(module, command, st->str_INVALID_USER_DATA_LENGTH);
    }

    // Request assembly; every conversion error surfaces before the port is
    // touched, the first in the order of the steps: check data, address,
    // then bytes() over prefix and frame.
    Bytes frame_header, app_header, user_data, address;
    if (append_bytes(frame_header, gsh.get()) < 0 ||
        append_bytes(app_header, send_header.get(), 2) < 0) {
        return nullptr;
    }
    if (check_data_computable(frame_header, app_header, data_send, data_len) < 0) {
        return nullptr;
    }
    bool has_channel = false;
    std::uint8_t channel = 0;
    if (radio_prefix(to_addr, to_channel, address, has_channel, channel) < 0 ||
        append_bytes(user_data, data_send, data_len) < 0) {
        return nullptr;
    }
    Bytes request = core::build_request(
        {frame_header.data(), frame_header.size()}, {app_header.data(), app_header.size()},
        {user_data.data(), user_data.size()}, {address.data(), address.size()},
        has_channel ? &channel : nullptr);
    Ref request_bytes = Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char *>(request.data()), static_cast<Py_ssize_t>(request.size())));
    if (!request_bytes) {
        return nullptr;
    }

    // The exchange: only the serial library's own failure becomes a code.
    Ref sr = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__sr));
    if (!sr) {
        return nullptr;
    }
    PyObject *sr_args[] = {request_bytes.get(), recv_len.get()};
    Ref reply = Ref::steal(PyObject_Vectorcall(sr.get(), sr_args, 0, st->kw_sr));
    if (!reply) {
        return serial_failure(module, command);
    }

    // Validation, in the order of the tests; the reply's bytes are copied so
    // the verdict does not depend on who else holds the list.
    Bytes received;
    if (append_bytes(received, reply.get()) < 0) {
        return nullptr;
    }
    Ref grh = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__grh));
    if (!grh) {
        return nullptr;
    }
    Bytes want_header = header_bytes(grh.get());
    Bytes want_app = header_bytes(recv_header.get());
    core::ReplyVerdict verdict = core::validate_reply(
        {received.data(), received.size()}, {want_header.data(), want_header.size()},
        {want_app.data(), want_app.size()});
    switch (verdict.status) {
    case core::ReplyStatus::kNoData:
        return make_record(module, command, st->str_NO_DATA_RETURN);
    case core::ReplyStatus::kTooShort:
        return make_record(module, command, st->str_INVALID_DATA_LENGTH);
    case core::ReplyStatus::kBadCheckData: {
        Ref text = Ref::steal(PyUnicode_FromFormat(
            "Received check data (%x) is not correct. should be %x",
            static_cast<unsigned>(verdict.received_check),
            static_cast<unsigned>(verdict.expected_check)));
        return text ? make_record(module, command, st->str_INVALID_CHECK_DATA, text.get())
                    : nullptr;
    }
    case core::ReplyStatus::kBadHeader: {
        Ref got = bytes_hex(module, received.data(), core::kFrameHeaderSize);
        Ref want = got ? call_hex_str(module, grh.get()) : Ref();
        Ref text = want ? Ref::steal(PyUnicode_FromFormat(
                              "Received header data (%U) invalid, should be %U",
                              got.get(), want.get()))
                        : Ref();
        return text ? make_record(module, command, st->str_INVALID_HEADER_DATA, text.get())
                    : nullptr;
    }
    case core::ReplyStatus::kBadAppHeader: {
        Ref got = bytes_hex(module, received.data() + core::kFrameHeaderSize,
                            core::kAppHeaderSize);
        Ref want = got ? call_hex_str(module, recv_header.get()) : Ref();
        Ref text = want ? Ref::steal(PyUnicode_FromFormat(
                              "Received application data (%U) invalid, should be %U",
                              got.get(), want.get()))
                        : Ref();
        return text ? make_record(module, command, st->str_INVALID_APP_DATA, text.get())
                    : nullptr;
    }
    case core::ReplyStatus::kSuccess:
        break;
    }
    Ref real_data = list_of(received.data() + verdict.value_offset, verdict.value_size);
    if (!real_data) {
        return nullptr;
    }
    PyObject *render_args[] = {self, command, real_data.get()};
    Ref message = Ref::steal(PyObject_VectorcallMethod(
        st->str_get_value_str, render_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!message) {
        return nullptr;
    }
    return make_record(module, command, st->str_SUCCESS, message.get(), real_data.get());
}

PyObject *
Kelt_send_and_recv(PyObject *self, PyTypeObject *defining, PyObject *const *args,
                   size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.__send_and_recv",
                  {&ModuleState::str_command, &ModuleState::str_data_send,
                   &ModuleState::str_to_addr, &ModuleState::str_to_channel},
                  1, args, nargsf, kwnames) < 0) {
        return nullptr;
    }
    // The shared empty default is only ever read.
    return send_and_recv(self, c.module, c.given[0], c.arg(1, c.st->empty_data), c.arg(2),
                         c.arg(3));
    COMM_ENTRY_END(nullptr)
}

// ------------------------------------------------------------ queries

// self._Kelt__send_and_recv(command=Command.<name>, [data_send=data,]
//                           to_addr=addr, to_channel=channel)
Ref
query(PyObject *self, PyObject *module, PyObject *command_name, PyObject *data,
      PyObject *addr, PyObject *channel)
{
    ModuleState *st = state_of_module(module);
    Ref commands = lookup_global(module, st->str_Command);
    if (!commands) {
        return Ref();
    }
    Ref command = Ref::steal(PyObject_GetAttr(commands.get(), command_name));
    if (!command) {
        return Ref();
    }
    Ref method = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__send_and_recv));
    if (!method) {
        return Ref();
    }
    PyObject *args[4];
    PyObject *names[4];
    Py_ssize_t n = 0;
    names[n] = st->str_command;
    args[n++] = command.get();
    if (data != nullptr) {
        names[n] = st->str_data_send;
        args[n++] = data;
    }
    names[n] = st->str_to_addr;
    args[n++] = addr;
    names[n] = st->str_to_channel;
    args[n++] = channel;
    Ref kwnames = Ref::steal(PyTuple_New(n));
    if (!kwnames) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(kwnames.get(), i, Ref::borrow(names[i]).release());
    }
    return Ref::steal(PyObject_Vectorcall(method.get(), args, 0, kwnames.get()));
}

constexpr NameSlot kAddr = &ModuleState::str_addr;
constexpr NameSlot kChannel = &ModuleState::str_channel;

PyObject *
Kelt_get_pump_status(PyObject *self, PyTypeObject *defining, PyObject *const *args,
                     size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.get_pump_status", {kAddr, kChannel}, 0, args, nargsf,
                  kwnames) < 0) {
        return nullptr;
    }
    ModuleState *st = c.st;
    Ref rc = query(self, c.module, st->str_GET_PUMP_STATUS, nullptr, c.arg(0), c.arg(1));
    if (!rc) {
        return nullptr;
    }
    // On success the value becomes the status code itself.
    Ref code = Ref::steal(PyObject_GetAttr(rc.get(), st->str_code));
    Ref codes = code ? lookup_global(c.module, st->str_DeviceReturnCode) : Ref();
    Ref success = codes ? Ref::steal(PyObject_GetAttr(codes.get(), st->str_SUCCESS)) : Ref();
    if (!success) {
        return nullptr;
    }
    int ok = PyObject_RichCompareBool(code.get(), success.get(), Py_EQ);
    if (ok < 0) {
        return nullptr;
    }
    if (ok) {
        Ref real_data = Ref::steal(PyObject_GetAttr(rc.get(), st->str_value));
        Ref status = real_data ? Ref::steal(PySequence_GetItem(real_data.get(), 0)) : Ref();
        if (!status || PyObject_SetAttr(rc.get(), st->str_value, status.get()) < 0) {
            return nullptr;
        }
    }
    return rc.release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
Kelt_get_pump_alarm(PyObject *self, PyTypeObject *defining, PyObject *const *args,
                    size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.get_pump_alarm", {kAddr, kChannel}, 0, args, nargsf,
                  kwnames) < 0) {
        return nullptr;
    }
    return query(self, c.module, c.st->str_GET_PUMP_ALARM, nullptr, c.arg(0), c.arg(1))
        .release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
Kelt_get_kvo_rate(PyObject *self, PyTypeObject *defining, PyObject *const *args,
                  size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.get_kvo_rate", {&ModuleState::str_data, kAddr, kChannel},
                  1, args, nargsf, kwnames) < 0) {
        return nullptr;
    }
    return query(self, c.module, c.st->str_GET_KVO_RATE, c.given[0], c.arg(1), c.arg(2))
        .release();
    COMM_ENTRY_END(nullptr)
}

Ref
send_commands(PyObject *self, PyObject *module, PyObject *head_data_list,
              PyObject *addr, PyObject *channel)
{
    ModuleState *st = state_of_module(module);
    Ref results = Ref::steal(PyList_New(0));
    Ref it = results ? Ref::steal(PyObject_GetIter(head_data_list)) : Ref();
    Ref pause = it ? Ref::steal(PyFloat_FromDouble(0.1)) : Ref();
    if (!pause) {
        return Ref();
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        // command, data = item: exactly two values, as unpacking demands.
        Ref pair = Ref::steal(PySequence_Tuple(item.get()));
        if (!pair) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.100s object",
                             Py_TYPE(item.get())->tp_name);
            }
            return Ref();
        }
        Py_ssize_t n = PyTuple_GET_SIZE(pair.get());
        if (n != 2) {
            if (n < 2) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected 2, got %zd)", n);
            }
            else {
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            }
            return Ref();
        }
        Ref method = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__send_and_recv));
        if (!method) {
            return Ref();
        }
        PyObject *args[] = {PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1),
                            addr, channel};
        Ref rc = Ref::steal(PyObject_Vectorcall(method.get(), args, 0, st->kw_send_item));
        if (!rc || PyList_Append(results.get(), rc.get()) < 0) {
            return Ref();
        }
        Ref time = lookup_global(module, st->str_time);
        Ref slept = time ? Ref::steal(PyObject_CallMethodOneArg(time.get(), st->str_sleep,
                                                                pause.get()))
                         : Ref();
        if (!slept) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    return results;
}

PyObject *
Kelt_send_commands(PyObject *self, PyTypeObject *defining, PyObject *const *args,
                   size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.__send_commands",
                  {&ModuleState::str_head_data_list, kAddr, kChannel}, 1, args, nargsf,
                  kwnames) < 0) {
        return nullptr;
    }
    return send_commands(self, c.module, c.given[0], c.arg(1), c.arg(2)).release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
Kelt_get_all_status(PyObject *self, PyTypeObject *defining, PyObject *const *args,
                    size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, defining, "Kelt.get_all_status", {kAddr, kChannel}, 0, args, nargsf,
                  kwnames) < 0) {
        return nullptr;
    }
    ModuleState *st = c.st;
    Ref commands = lookup_global(c.module, st->str_Command);
    if (!commands) {
        return nullptr;
    }
    // The full status set: five (command, []) pairs, each list new.
    PyObject *const order[] = {st->str_GET_PUMP_STATUS, st->str_GET_PUMPDOOR_STATUS,
                               st->str_GET_REMAIN_TIME, st->str_GET_RATE_UNIT,
                               st->str_GET_PUMP_ALARM};
    Ref set = Ref::steal(PyList_New(std::size(order)));
    if (!set) {
        return nullptr;
    }
    for (std::size_t i = 0; i < std::size(order); ++i) {
        Ref command = Ref::steal(PyObject_GetAttr(commands.get(), order[i]));
        Ref data = command ? Ref::steal(PyList_New(0)) : Ref();
        Ref pair = data ? Ref::steal(PyTuple_Pack(2, command.get(), data.get())) : Ref();
        if (!pair) {
            return nullptr;
        }
        PyList_SET_ITEM(set.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    PyObject *call_args[] = {self, set.get(), c.arg(0), c.arg(1)};
    Ref kwnames_out = Ref::steal(PyTuple_Pack(2, st->str_addr, st->str_channel));
    if (!kwnames_out) {
        return nullptr;
    }
    return PyObject_VectorcallMethod(st->str__Kelt__send_commands, call_args,
                                     2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_out.get());
    COMM_ENTRY_END(nullptr)
}

// Static: `self` is the class it was defined on.
PyObject *
Kelt_get_value_str(PyObject *cls, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    Call c;
    if (bind_call(c, reinterpret_cast<PyTypeObject *>(cls), "Kelt.get_value_str",
                  {&ModuleState::str_command, &ModuleState::str_value}, 2, args, nargsf,
                  kwnames, 0) < 0) {
        return nullptr;
    }
    return value_text(c.module, c.given[0], c.given[1]).release();
    COMM_ENTRY_END(nullptr)
}

// ------------------------------------------------------------ the type

int
Kelt_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_kelt(self)->dict);
    return 0;
}

int
Kelt_clear(PyObject *self)
{
    Py_CLEAR(as_kelt(self)->dict);
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
    Py_DECREF(type);
}

#define KELT_METHOD METH_METHOD | METH_FASTCALL | METH_KEYWORDS

// In the order of the class body; the dict keys are the mangled names.
struct MethodSlot {
    const char *attr;
    PyMethodDef def;
};

MethodSlot kelt_methods[] = {
    {"_Kelt__sr",
     {"__sr", COMM_METH(Kelt_sr), KELT_METHOD, "__sr($self, /, data, recv_len=32)\n--\n\n"}},
    {"_Kelt__chkd",
     {"__chkd", COMM_METH(Kelt_chkd), KELT_METHOD, "__chkd($self, /, data)\n--\n\n"}},
    {"_Kelt__send_and_recv",
     {"__send_and_recv", COMM_METH(Kelt_send_and_recv), KELT_METHOD,
      "__send_and_recv($self, /, command, data_send=[], to_addr=None, to_channel=None)\n--\n\n"
      "\n"
      "        友人 USR-LG207 LoRa 设备\n"
      "        1. 透传 1v1， 两设备 地址 信道 一致即可。 to_addr, to_channel 不传\n"
      "        2. 定点， 设备 地址、信道 不一致。 to_addr, to_channel 都要传\n"
      "        3. 主从， 主设备和从设备的信道要一样，地址不同。 只传 to_addr.\n"
      "        4. 其他\n"
      "        "}},
    {"get_pump_status",
     {"get_pump_status", COMM_METH(Kelt_get_pump_status), KELT_METHOD,
      "get_pump_status($self, /, addr=None, channel=None)\n--\n\n"}},
    {"get_pump_alarm",
     {"get_pump_alarm", COMM_METH(Kelt_get_pump_alarm), KELT_METHOD,
      "get_pump_alarm($self, /, addr=None, channel=None)\n--\n\n"}},
    {"get_kvo_rate",
     {"get_kvo_rate", COMM_METH(Kelt_get_kvo_rate), KELT_METHOD,
      "get_kvo_rate($self, /, data, addr=None, channel=None)\n--\n\n"}},
    {"_Kelt__send_commands",
     {"__send_commands", COMM_METH(Kelt_send_commands), KELT_METHOD,
      "__send_commands($self, /, head_data_list, addr=None, channel=None)\n--\n\n"}},
    {"get_all_status",
     {"get_all_status", COMM_METH(Kelt_get_all_status), KELT_METHOD,
      "get_all_status($self, /, addr=None, channel=None)\n--\n\n"
      "\n"
      "        returns: pump status, remain time\n"
      "        "}},
};

PyMethodDef kelt_get_value_str = {
    "get_value_str", COMM_METH(Kelt_get_value_str), METH_FASTCALL | METH_KEYWORDS,
    "get_value_str(command, value)\n--\n\n"};

PyMemberDef kelt_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(KeltObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(KeltObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kelt_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kelt_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(Kelt_init)},
    {Py_tp_traverse, reinterpret_cast<void *>(Kelt_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Kelt_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Kelt_dealloc)},
    {Py_tp_members, kelt_members},
    {Py_tp_getset, kelt_getset},
    {0, nullptr},
};

PyType_Spec kelt_spec = {
    "tarvelpump.comm.Kelt",                                   // name
    sizeof(KeltObject),                                       // basicsize
    0,                                                        // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,  // flags
    kelt_slots,                                               // slots
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
        if (!value || PyList_Append(header.get(), value.get()) < 0) {
            return Ref();
        }
    }
    return header;
}

}  // namespace

int
add_kelt(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &kelt_spec, nullptr));
    if (!type) {
        return -1;
    }
    auto *tp = reinterpret_cast<PyTypeObject *>(type.get());
    PyObject *dict = tp->tp_dict;  // borrowed; the type keeps it
    // The class body's order: the frame headers come before __init__, which
    // type creation put first. Editing the dict directly keeps tp_init as is.
    Ref init = Ref::borrow(PyDict_GetItemString(dict, "__init__"));
    if (!init || PyDict_DelItemString(dict, "__init__") < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "Kelt lost its __init__");
        }
        return -1;
    }
    Ref gsh = frame_header(module, "PC2PUMP");
    Ref grh = gsh ? frame_header(module, "PUMP2PC") : Ref();
    if (!grh || PyDict_SetItem(dict, st->str__Kelt__gsh, gsh.get()) < 0 ||
        PyDict_SetItem(dict, st->str__Kelt__grh, grh.get()) < 0 ||
        PyDict_SetItemString(dict, "__init__", init.get()) < 0) {
        return -1;
    }
    for (MethodSlot &m : kelt_methods) {
        Ref descr = Ref::steal(PyDescr_NewMethod(tp, &m.def));
        if (!descr || PyDict_SetItemString(dict, m.attr, descr.get()) < 0) {
            return -1;
        }
    }
    Ref name = lookup_global(module, st->str___name__);
    Ref fn = name ? Ref::steal(PyCFunction_NewEx(&kelt_get_value_str, type.get(), name.get()))
                  : Ref();
    Ref stat = fn ? Ref::steal(PyStaticMethod_New(fn.get())) : Ref();
    if (!stat || PyDict_SetItemString(dict, "get_value_str", stat.get()) < 0) {
        return -1;
    }
    PyType_Modified(tp);
    st->Kelt_type = Ref::borrow(type.get()).release();
    return PyModule_AddObjectRef(module, "Kelt", type.get());
}

}  // namespace comm
