// Kelt's exchange and transaction, behind the entry points of kelt.cpp:
//
//     def __sr(self, data, recv_len=32):
//         size = 128 if recv_len > 128 else recv_len
//         ser = serial.Serial(port=self.port, baudrate=self.baud_rate,
//                             timeout=self.timeout)     # alone on its port
//         if not ser.is_open: ser.open()
//         log.debug(f"{ser.write(data)} bytes sent. {hex_str(data)}")
//         ... read chunks of `size` until recv_len bytes or silence ...
//         ser.close(); return received
//
//     def __send_and_recv(self, command, data_send=[], to_addr=None,
//     to_channel=None):
//         frame = list(self.__gsh) + send_header[:2] + data_send[:N]
//         frame.append(self.__chkd(frame)); prefix; data = bytes(frame)
//         reply = self.__sr(data=data, recv_len=recv_len)   # SerialException:
//         code
//         ... length, check data, headers, then SUCCESS with get_value_str ...
//
// Every sequence a caller or an override hands in is copied or read item by
// item with bounds checks before Python code can run: nothing here keeps a
// list's size, item pointer or borrowed item across such a call.
#include "comm/device/exchange.hpp"

#include "comm/call_time.hpp"
#include "comm/core/frame.hpp"
#include "comm/device/port_lock.hpp"
#include "comm/device/verdict.hpp"
#include "comm/py/state.hpp"
#include "comm/records/device_return.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace comm {

using py::Ref;

namespace {

using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------ __sr

// Logs a debug line when the logger is enabled for debug (asked once per
// exchange); the text is made only then, so a quiet logger costs one
// isEnabledFor call per exchange. Lines go out through log_line.
struct DebugLog {
    PyObject *module = nullptr;
    bool enabled = false;

    int
    init(PyObject *m)
    {
        module = m;
        ModuleState *st = state_of_module(m);
        Ref log = lookup_global(m, st->str_log);
        if (!log) {
            return -1;
        }
        Ref level = Ref::steal(PyLong_FromLong(10)); // logging.DEBUG
        if (!level) {
            return -1;
        }
        Ref on = Ref::steal(PyObject_CallMethodOneArg(
            log.get(), st->str_isEnabledFor, level.get()));
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
        return log_line(module, state_of_module(module)->str_debug,
                        std::move(text));
    }

    // "<count> bytes <what>. <hex_str(data)>"
    int
    dump(PyObject *count, const char *what, PyObject *data)
    {
        Ref text = call_hex_str(module, data);
        if (!text) {
            return -1;
        }
        return line(Ref::steal(
            PyUnicode_FromFormat("%S bytes %s. %S", count, what, text.get())));
    }
};

// Owns the close of an open port object: close() when the exchange ends,
// also when it fails part-way, so that no failure leaves the device open.
// On a failure the exchange's exception is the one that stays. close() is
// Python code: the unwind that ends this thread at exit may come out of it.
class PortCloser {
  public:
    PortCloser(PyObject *port, PyObject *close_name)
        : port_(port), close_(close_name)
    {
    }
    PortCloser(const PortCloser &) = delete;
    PortCloser &operator=(const PortCloser &) = delete;
    ~PortCloser() noexcept(false)
    {
        if (port_ == nullptr || py::ended_mid_call()) {
            return; // a thread ended at exit calls nothing on its way out
        }
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(port_, close_));
        if (!r) {
            PyErr_Clear(); // the first failure is the one to report
        }
        PyErr_Restore(type, value, tb);
    }

    // The close of an exchange that went well; -1 with its exception.
    int
    close()
    {
        PyObject *port = port_;
        port_ = nullptr;
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(port, close_));
        return r ? 0 : -1;
    }

  private:
    PyObject *port_;  // borrowed from the exchange, which outlives us
    PyObject *close_; // interned, kept by the module state
};

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
        dbg.line(Ref::steal(
            PyUnicode_FromString("Finished. Total 0 bytes received."))) < 0) {
        return -1;
    }
    while (total < recv_len) {
        Ref chunk = Ref::steal(
            PyObject_CallMethodOneArg(port, st->str_read, size.get()));
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
            Ref count = Ref::steal(PyLong_FromSsize_t(n));
            if (!count || dbg.dump(count.get(), "received", chunk.get()) < 0) {
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

// ------------------------------------------------------------ transaction

// DeviceReturn(command, [value=value, ]code=DeviceReturnCode.<code_name>
// [, message=message])
Ref
make_record(PyObject *module, PyObject *command, PyObject *code_name,
            PyObject *message = nullptr, PyObject *value = nullptr)
{
    RecordArgs fields;
    fields.command = command;
    fields.value = value;
    fields.code_name = code_name;
    fields.message = message;
    return make_device_return(module, fields);
}

// The exchange raised: a SerialException (looked up now, as the handler's
// `except` clause would) becomes an EXCEPTION record, anything else goes on.
Ref
serial_failure(PyObject *module, PyObject *command)
{
    ModuleState *st = state_of_module(module);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref etype = Ref::steal(type), evalue = Ref::steal(value),
        etb = Ref::steal(tb);
    Ref serial = lookup_global(module, st->str_serial);
    if (!serial) {
        return Ref(); // the lookup's own error is the one to see
    }
    Ref util = Ref::steal(PyObject_GetAttr(serial.get(), st->str_serialutil));
    if (!util) {
        return Ref();
    }
    Ref serial_error =
        Ref::steal(PyObject_GetAttr(util.get(), st->str_SerialException));
    if (!serial_error) {
        return Ref();
    }
    int matches = PyErr_GivenExceptionMatches(etype.get(), serial_error.get());
    if (!matches) {
        PyErr_Restore(etype.release(), evalue.release(), etb.release());
        return Ref();
    }
    Ref text = Ref::steal(PyObject_Str(evalue.get()));
    if (!text) {
        return Ref();
    }
    return make_record(module, command, st->str_EXCEPTION, text.get());
}

// list.extend(part) onto our own list.
int
extend(PyObject *list, PyObject *part)
{
    Py_ssize_t n = PyList_GET_SIZE(list);
    return PyList_SetSlice(list, n, n, part);
}

// The request over plain bytes, when __chkd is the class's own and the frame
// so far, the user data and the radio arguments are plain byte values (or
// absent): what finish_request computes, without an object per byte. False
// sends every other case there, errors included.
bool
plain_request(PyObject *frame, PyObject *data_send, Py_ssize_t data_len,
              PyObject *to_addr, PyObject *to_channel, Ref *request)
{
    Bytes head, user, address;
    if (!small_bytes(frame, head) || !small_bytes(data_send, user)) {
        return false;
    }
    if (user.size() > static_cast<std::size_t>(data_len)) {
        user.resize(static_cast<std::size_t>(data_len)); // data_send[:N]
    }
    std::uint8_t channel = 0;
    bool has_channel = false;
    if (to_channel != Py_None) {
        if (!PyLong_CheckExact(to_channel)) {
            return false;
        }
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(to_channel, &overflow);
        if (overflow || v < 0 || v > 255) {
            return false; // bytes() refuses it on the general path
        }
        channel = static_cast<std::uint8_t>(v);
        has_channel = v != 0;
    }
    if (PyLong_CheckExact(to_addr)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(to_addr, &overflow);
        if (overflow || v < 0 || v > 0xFFFF) {
            return false;
        }
        if (v != 0) {
            address = {static_cast<std::uint8_t>(v >> 8),
                       static_cast<std::uint8_t>(v & 0xFF)};
        }
    }
    else if (to_addr != Py_None &&
             !(PyList_CheckExact(to_addr) && small_bytes(to_addr, address))) {
        return false;
    }
    Bytes wire = core::build_request(
        {head.data(), head.size()}, {nullptr, 0}, {user.data(), user.size()},
        {address.data(), address.size()}, has_channel ? &channel : nullptr);
    *request = Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(wire.data()),
                                  static_cast<Py_ssize_t>(wire.size())));
    return true;
}

// Request assembly after the length test: user data, check data, channel,
// address, bytes(). `frame` holds the frame header and application header.
Ref
finish_request(PyObject *frame_in, PyObject *data_send, Py_ssize_t data_len,
               PyObject *chkd, bool own_chkd, PyObject *to_addr,
               PyObject *to_channel)
{
    Ref frame = Ref::borrow(frame_in);
    Ref plain;
    if (own_chkd && plain_request(frame_in, data_send, data_len, to_addr,
                                  to_channel, &plain)) {
        return plain; // empty only when the bytes object could not be made
    }
    Ref user = Ref::steal(PySequence_GetSlice(data_send, 0, data_len));
    if (!user || extend(frame.get(), user.get()) < 0) {
        return Ref();
    }
    Ref check = call_chkd(chkd, own_chkd, frame.get());
    if (!check || PyList_Append(frame.get(), check.get()) < 0) {
        return Ref();
    }
    int t = PyObject_IsTrue(to_channel);
    if (t < 0 || (t && PyList_Insert(frame.get(), 0, to_channel) < 0)) {
        return Ref();
    }
    t = PyObject_IsTrue(to_addr);
    if (t < 0) {
        return Ref();
    }
    if (t) {
        Ref address = Ref::borrow(to_addr);
        if (PyLong_Check(to_addr)) {
            // to_addr.to_bytes(2, "big"), as a list of its two bytes
            int overflow = 0;
            long v = PyLong_AsLongAndOverflow(to_addr, &overflow);
            if (v == -1 && PyErr_Occurred()) {
                return Ref();
            }
            // On overflow v is -1: the sign is overflow's, not v's.
            if (overflow < 0 || (overflow == 0 && v < 0)) {
                PyErr_SetString(PyExc_OverflowError,
                                "can't convert negative int to unsigned");
                return Ref();
            }
            if (overflow > 0 || v > 0xFFFF) {
                PyErr_SetString(PyExc_OverflowError, "int too big to convert");
                return Ref();
            }
            const std::uint8_t two[] = {static_cast<std::uint8_t>(v >> 8),
                                        static_cast<std::uint8_t>(v & 0xFF)};
            address = list_of(two, 2);
            if (!address) {
                return Ref();
            }
        }
        frame = Ref::steal(PyNumber_Add(address.get(), frame.get()));
        if (!frame) {
            return Ref();
        }
    }
    return Ref::steal(PyBytes_FromObject(frame.get()));
}

// ------------------------------------------------------------ the request

// What the request step hands on to the exchange and the record.
struct Request {
    Ref bytes;       // the request; empty when the user data's length is wrong
    Ref recv_len;    // 8 + element 1 of the reply's application header
    Ref recv_header; // CommandRecvAppHeader[command]
    Ref chkd;        // self.__chkd, for the request and the reply
    bool own_chkd = false;
};

// The headers of `command`: its request header into *send_header, its reply
// header and the reply's length into `out`.
int
look_up_headers(PyObject *module, PyObject *command, Ref *send_header,
                Request *out)
{
    ModuleState *st = state_of_module(module);
    Ref send_table = lookup_global(module, st->str_CommandSendAppHeader);
    if (!send_table) {
        return -1;
    }
    *send_header = Ref::steal(PyObject_GetItem(send_table.get(), command));
    if (!*send_header) {
        return -1;
    }
    Ref recv_table = lookup_global(module, st->str_CommandRecvAppHeader);
    if (!recv_table) {
        return -1;
    }
    out->recv_header = Ref::steal(PyObject_GetItem(recv_table.get(), command));
    if (!out->recv_header) {
        return -1;
    }
    Ref recv_n = Ref::steal(PySequence_GetItem(out->recv_header.get(), 1));
    if (!recv_n) {
        return -1;
    }
    Ref eight =
        Ref::steal(PyLong_FromLong(static_cast<long>(core::kFrameOverhead)));
    if (!eight) {
        return -1;
    }
    out->recv_len = Ref::steal(PyNumber_Add(eight.get(), recv_n.get()));
    return out->recv_len ? 0 : -1;
}

// The request of __send_and_recv up to the exchange: headers, the length
// test of the user data, then the frame in bytes. 0 (with no request bytes
// when the length is wrong: nothing is sent), or -1 with an exception set.
int
make_request(PyObject *self, PyObject *module, PyObject *command,
             PyObject *data_send, PyObject *to_addr, PyObject *to_channel,
             Request *out)
{
    ModuleState *st = state_of_module(module);
    Ref send_header;
    if (look_up_headers(module, command, &send_header, out) < 0) {
        return -1;
    }
    // frame = list(self.__gsh) + send_header[:2]
    Ref gsh = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__gsh));
    if (!gsh) {
        return -1;
    }
    Ref frame = Ref::steal(PySequence_List(gsh.get()));
    if (!frame) {
        return -1;
    }
    Ref app = Ref::steal(PySequence_GetSlice(send_header.get(), 0, 2));
    if (!app) {
        return -1;
    }
    if (extend(frame.get(), app.get()) < 0) {
        return -1;
    }
    Ref send_n = Ref::steal(PySequence_GetItem(send_header.get(), 1));
    if (!send_n) {
        return -1;
    }
    Py_ssize_t data_len = PyObject_Size(data_send);
    if (data_len < 0) {
        return -1;
    }
    Ref data_len_obj = Ref::steal(PyLong_FromSsize_t(data_len));
    if (!data_len_obj) {
        return -1;
    }
    int differs =
        PyObject_RichCompareBool(send_n.get(), data_len_obj.get(), Py_NE);
    if (differs < 0) {
        return -1;
    }
    if (differs) {
        return 0;
    }
    // self.__chkd, looked up once for the request and the reply; when it is
    // still the class's own, the rule runs here without a call.
    out->chkd = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__chkd));
    if (!out->chkd) {
        return -1;
    }
    out->own_chkd = is_class_chkd(out->chkd.get(), self);
    out->bytes =
        finish_request(frame.get(), data_send, data_len, out->chkd.get(),
                       out->own_chkd, to_addr, to_channel);
    return out->bytes ? 0 : -1;
}

// ------------------------------------------------------------ the exchange

// self.__sr(data=request, recv_len=recv_len): the reply as __sr returns it,
// or empty with the exception set (the caller sorts out the serial
// library's own).
Ref
exchange_request(PyObject *self, PyObject *module, const Request &request)
{
    ModuleState *st = state_of_module(module);
    Ref sr = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__sr));
    if (!sr) {
        return Ref();
    }
    PyObject *sr_args[] = {request.bytes.get(), request.recv_len.get()};
    return Ref::steal(PyObject_Vectorcall(sr.get(), sr_args, 0, st->kw_sr));
}

// ------------------------------------------------------------ the record

// The verdict on the reply (a copy of our own) as a DeviceReturn: a failure
// code with its message, or SUCCESS with the value and the text of
// self.get_value_str.
Ref
record_reply(PyObject *self, PyObject *module, PyObject *command,
             const Request &request, PyObject *reply_in)
{
    ModuleState *st = state_of_module(module);
    Ref reply = own_list(reply_in);
    if (!reply) {
        return Ref();
    }
    Ref grh = Ref::steal(PyObject_GetAttr(self, st->str__Kelt__grh));
    if (!grh) {
        return Ref();
    }
    Verdict verdict;
    if (judge_reply(module, reply.get(), grh.get(), request.recv_header.get(),
                    request.chkd.get(), request.own_chkd, &verdict) < 0) {
        return Ref();
    }
    if (verdict.code != nullptr) {
        return make_record(module, command, verdict.code,
                           verdict.message.get());
    }
    PyObject *render_args[] = {self, command, verdict.value.get()};
    Ref text = Ref::steal(PyObject_VectorcallMethod(
        st->str_get_value_str, render_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
    if (!text) {
        return Ref();
    }
    return make_record(module, command, st->str_SUCCESS, text.get(),
                       verdict.value.get());
}

} // namespace

Ref
serial_exchange(PyObject *self, PyObject *module, PyObject *data,
                Py_ssize_t recv_len)
{
    ModuleState *st = state_of_module(module);
    DebugLog dbg;
    if (dbg.init(module) < 0) {
        return Ref();
    }
    // serial.Serial(port=self.port, baudrate=self.baud_rate,
    // timeout=self.timeout), each operand checked before the next is
    // evaluated.
    Ref serial = lookup_global(module, st->str_serial);
    if (!serial) {
        return Ref();
    }
    Ref serial_class =
        Ref::steal(PyObject_GetAttr(serial.get(), st->str_Serial));
    if (!serial_class) {
        return Ref();
    }
    Ref port_name = Ref::steal(PyObject_GetAttr(self, st->str_port));
    if (!port_name) {
        return Ref();
    }
    Ref baud = Ref::steal(PyObject_GetAttr(self, st->str_baud_rate));
    if (!baud) {
        return Ref();
    }
    Ref timeout = Ref::steal(PyObject_GetAttr(self, st->str_timeout));
    if (!timeout) {
        return Ref();
    }
    // Held from before the open until after the close; declared first so
    // that it is released last.
    PortHold hold;
    if (hold.acquire(port_name.get()) < 0) {
        return Ref();
    }
    PyObject *ctor_args[] = {port_name.get(), baud.get(), timeout.get()};
    Ref port = Ref::steal(
        PyObject_Vectorcall(serial_class.get(), ctor_args, 0, st->kw_serial));
    if (!port) {
        return Ref();
    }
    PortCloser closer(port.get(), st->str_close);
    Ref is_open = Ref::steal(PyObject_GetAttr(port.get(), st->str_is_open));
    if (!is_open) {
        return Ref();
    }
    int open = PyObject_IsTrue(is_open.get());
    if (open < 0) {
        return Ref();
    }
    if (!open) {
        Ref opened =
            Ref::steal(PyObject_CallMethodNoArgs(port.get(), st->str_open));
        if (!opened) {
            return Ref();
        }
    }
    Ref sent =
        Ref::steal(PyObject_CallMethodOneArg(port.get(), st->str_write, data));
    if (!sent) {
        return Ref();
    }
    if (dbg.enabled && dbg.dump(sent.get(), "sent", data) < 0) {
        return Ref();
    }
    Bytes received;
    if (read_reply(port.get(), st, dbg, recv_len, received) < 0 ||
        closer.close() < 0) {
        return Ref();
    }
    return list_of(received.data(), received.size());
}

Ref
transaction(PyObject *self, PyObject *module, PyObject *command,
            PyObject *data_send, PyObject *to_addr, PyObject *to_channel)
{
    Request request;
    if (make_request(self, module, command, data_send, to_addr, to_channel,
                     &request) < 0) {
        return Ref();
    }
    if (!request.bytes) {
        return make_record(
            module, command,
            state_of_module(module)->str_INVALID_USER_DATA_LENGTH);
    }
    // The exchange: only the serial library's own failure becomes a code.
    Ref reply = exchange_request(self, module, request);
    if (!reply) {
        return serial_failure(module, command);
    }
    return record_reply(self, module, command, request, reply.get());
}

} // namespace comm
