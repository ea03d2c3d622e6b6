// The check-data rule and the verdict on a reply, for the transaction of
// exchange.cpp:
//
//     def __chkd(self, data):
//         s = 0
//         for i in range(7): s = s + data[i]
//         if len(data) > 7:
//             for i in range(7, 7 + data[6]): s = s + data[i]
//         return (s ^ 0xFFFF).to_bytes(4, "big")[-1]
//
// A reply is judged in the order of the tests: nothing, too short, check
// data, frame header, application header; then its value.
#include "comm/device/verdict.hpp"

#include "comm/call_time.hpp"
#include "comm/core/frame.hpp"
#include "comm/py/state.hpp"

#include <vector>

namespace comm {

using py::Ref;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The frame's places (core/frame.hpp) as the list indexes of a reply.
constexpr Py_ssize_t kHeaderEnd = // reply[0:5]: the frame header
    static_cast<Py_ssize_t>(core::kFrameHeaderSize);
constexpr Py_ssize_t kLengthAt = // reply[6]: the user data's length
    static_cast<Py_ssize_t>(core::kLengthOffset);
constexpr Py_ssize_t kUserDataAt = // reply[7:7 + reply[6]]: the user data
    static_cast<Py_ssize_t>(core::kUserDataOffset);
// A whole frame is its user data and this many bytes around them.
constexpr long kOverhead = static_cast<long>(core::kFrameOverhead);

// ------------------------------------------------------------ check data

// The sum of the check-data rule. Integers that add as int does are summed
// in C; from the first element that does not (one with __radd__, or no
// number at all) the sum is a Python object and `s + item` runs as Python
// adds, raising what Python raises.
class CheckSum {
  public:
    int
    add(PyObject *item)
    {
        if (!slow_ && PyLong_Check(item) &&
            Py_TYPE(item)->tp_as_number->nb_add ==
                PyLong_Type.tp_as_number->nb_add) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
            // Into a temporary: on overflow the builtin stores the wrapped
            // sum, and the slow path below must start from the sum so far.
            long long sum;
            if (!overflow && !__builtin_add_overflow(fast_, v, &sum)) {
                fast_ = sum;
                return 0;
            }
        }
        if (!slow_) {
            slow_ = Ref::steal(PyLong_FromLongLong(fast_));
            if (!slow_) {
                return -1;
            }
        }
        slow_ = Ref::steal(PyNumber_Add(slow_.get(), item));
        return slow_ ? 0 : -1;
    }

    // (s ^ 0xFFFF).to_bytes(4, "big")[-1]
    Ref
    fold() const
    {
        if (!slow_) {
            long long folded = fast_ ^ 0xFFFF;
            if (folded < 0) {
                PyErr_SetString(PyExc_OverflowError,
                                "can't convert negative int to unsigned");
                return Ref();
            }
            if (folded > 0xFFFFFFFFLL) {
                PyErr_SetString(PyExc_OverflowError, "int too big to convert");
                return Ref();
            }
            return Ref::steal(
                PyLong_FromLong(static_cast<long>(folded & 0xFF)));
        }
        Ref mask = Ref::steal(PyLong_FromLong(0xFFFF));
        if (!mask) {
            return Ref();
        }
        Ref folded = Ref::steal(PyNumber_Xor(slow_.get(), mask.get()));
        if (!folded) {
            return Ref();
        }
        Ref four = Ref::steal(
            PyObject_CallMethod(folded.get(), "to_bytes", "is", 4, "big"));
        if (!four) {
            return Ref();
        }
        return Ref::steal(PySequence_GetItem(four.get(), -1));
    }

  private:
    long long fast_ = 0;
    Ref slow_;
};

// "Received <what> (<got>) invalid, should be <want>", both through hex_str.
Ref
header_message(PyObject *module, const char *what, PyObject *got,
               PyObject *want)
{
    Ref got_text = call_hex_str(module, got);
    if (!got_text) {
        return Ref();
    }
    Ref want_text = call_hex_str(module, want);
    if (!want_text) {
        return Ref();
    }
    return Ref::steal(
        PyUnicode_FromFormat("Received %s (%S) invalid, should be %S", what,
                             got_text.get(), want_text.get()));
}

Ref
check_message(PyObject *received, PyObject *expected)
{
    Ref format = Ref::steal(PyUnicode_FromString(
        "Received check data (%x) is not correct. should be %x"));
    if (!format) {
        return Ref();
    }
    Ref args = Ref::steal(PyTuple_Pack(2, received, expected));
    if (!args) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Format(format.get(), args.get()));
}

// The steps of the general verdict below: each returns 1 when it has given
// a failure verdict in *out, 0 to go on, or -1 with an exception set.

// As the core decides: a reply that ends before its user data, or is
// shorter than the overhead + reply[6], would have the check-data rule read
// past the reply. Both the addition and the comparison may run Python code
// that changes the list (an element that finds it through the garbage
// collector): its length *n is read again after each.
int
judge_length(ModuleState *st, PyObject *reply, Py_ssize_t *n, Verdict *out)
{
    int too_short = *n <= kUserDataAt;
    if (!too_short) {
        Ref overhead = Ref::steal(PyLong_FromLong(kOverhead));
        if (!overhead) {
            return -1;
        }
        Ref declared = Ref::steal(PySequence_GetItem(reply, kLengthAt));
        if (!declared) {
            return -1;
        }
        Ref need = Ref::steal(PyNumber_Add(overhead.get(), declared.get()));
        if (!need) {
            return -1;
        }
        *n = PyList_GET_SIZE(reply);
        Ref have = Ref::steal(PyLong_FromSsize_t(*n));
        if (!have) {
            return -1;
        }
        too_short = PyObject_RichCompareBool(have.get(), need.get(), Py_LT);
        if (too_short < 0) {
            return -1;
        }
        *n = PyList_GET_SIZE(reply);
        too_short = too_short || *n <= kUserDataAt;
    }
    if (too_short) {
        out->code = st->str_INVALID_DATA_LENGTH;
    }
    return too_short;
}

// The last of the reply's `n` items against the check data of the others;
// no Python code may have run since `n` was read.
int
judge_check_data(ModuleState *st, PyObject *reply, Py_ssize_t n,
                 PyObject *chkd, bool own_chkd, Verdict *out)
{
    Ref last = Ref::borrow(PyList_GET_ITEM(reply, n - 1));
    Ref body = Ref::steal(PyList_GetSlice(reply, 0, n - 1));
    Ref check = body ? call_chkd(chkd, own_chkd, body.get()) : Ref();
    if (!check) {
        return -1;
    }
    int differs = PyObject_RichCompareBool(last.get(), check.get(), Py_NE);
    if (differs <= 0) {
        return differs;
    }
    out->code = st->str_INVALID_CHECK_DATA;
    out->message = check_message(last.get(), check.get());
    return out->message ? 1 : -1;
}

// The frame header, then the application header.
int
judge_headers(PyObject *module, PyObject *reply, PyObject *grh,
              PyObject *recv_header, Verdict *out)
{
    ModuleState *st = state_of_module(module);
    struct Part {
        Py_ssize_t lo, hi;
        PyObject *want, *code;
        const char *what;
    } parts[] = {
        {0, kHeaderEnd, grh, st->str_INVALID_HEADER_DATA, "header data"},
        {kHeaderEnd, kUserDataAt, recv_header, st->str_INVALID_APP_DATA,
         "application data"},
    };
    for (const Part &part : parts) {
        Ref got = Ref::steal(PyList_GetSlice(reply, part.lo, part.hi));
        if (!got) {
            return -1;
        }
        int differs = PyObject_RichCompareBool(got.get(), part.want, Py_NE);
        if (differs < 0) {
            return -1;
        }
        if (differs) {
            out->code = part.code;
            out->message =
                header_message(module, part.what, got.get(), part.want);
            return out->message ? 1 : -1;
        }
    }
    return 0;
}

// reply[7:7 + reply[6]]
Ref
user_data(PyObject *reply)
{
    Ref start = Ref::steal(PyLong_FromSsize_t(kUserDataAt));
    Ref length =
        start ? Ref::steal(PySequence_GetItem(reply, kLengthAt)) : Ref();
    Ref end =
        length ? Ref::steal(PyNumber_Add(start.get(), length.get())) : Ref();
    Ref slice =
        end ? Ref::steal(PySlice_New(start.get(), end.get(), nullptr)) : Ref();
    if (!slice) {
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(reply, slice.get()));
}

// The verdict on a reply we own, by the general rules (any element types, an
// overridden __chkd), in the order of the tests. 0, or -1 with an exception
// set.
int
judge_general(PyObject *module, PyObject *reply, PyObject *grh,
              PyObject *recv_header, PyObject *chkd, bool own_chkd,
              Verdict *out)
{
    ModuleState *st = state_of_module(module);
    Py_ssize_t n = PyList_GET_SIZE(reply);
    if (n == 0) {
        out->code = st->str_NO_DATA_RETURN;
        return 0;
    }
    int judged = judge_length(st, reply, &n, out);
    if (judged == 0) {
        judged = judge_check_data(st, reply, n, chkd, own_chkd, out);
    }
    if (judged == 0) {
        judged = judge_headers(module, reply, grh, recv_header, out);
    }
    if (judged != 0) {
        return judged < 0 ? -1 : 0;
    }
    out->value = user_data(reply);
    return out->value ? 0 : -1;
}

// The same verdict over plain bytes, when the reply and both headers are
// byte values and __chkd is the class's own: the pure core decides.
int
judge_reply_bytes(PyObject *module, const Bytes &reply, PyObject *grh,
                  PyObject *recv_header, const Bytes &want_header,
                  const Bytes &want_app, Ref *value, PyObject **code,
                  Ref *message)
{
    ModuleState *st = state_of_module(module);
    core::ReplyVerdict verdict = core::validate_reply(
        {reply.data(), reply.size()}, {want_header.data(), want_header.size()},
        {want_app.data(), want_app.size()});
    switch (verdict.status) {
    case core::ReplyStatus::kNoData:
        *code = st->str_NO_DATA_RETURN;
        return 0;
    case core::ReplyStatus::kTooShort:
        *code = st->str_INVALID_DATA_LENGTH;
        return 0;
    case core::ReplyStatus::kBadCheckData:
        *code = st->str_INVALID_CHECK_DATA;
        *message = Ref::steal(PyUnicode_FromFormat(
            "Received check data (%x) is not correct. should be %x",
            static_cast<unsigned>(verdict.received_check),
            static_cast<unsigned>(verdict.expected_check)));
        return *message ? 0 : -1;
    case core::ReplyStatus::kBadHeader:
    case core::ReplyStatus::kBadAppHeader: {
        bool header = verdict.status == core::ReplyStatus::kBadHeader;
        std::size_t lo = header ? 0 : core::kFrameHeaderSize;
        std::size_t n = header ? core::kFrameHeaderSize : core::kAppHeaderSize;
        Ref got = list_of(reply.data() + lo, n);
        if (!got) {
            return -1;
        }
        *code =
            header ? st->str_INVALID_HEADER_DATA : st->str_INVALID_APP_DATA;
        *message =
            header_message(module, header ? "header data" : "application data",
                           got.get(), header ? grh : recv_header);
        return *message ? 0 : -1;
    }
    case core::ReplyStatus::kSuccess:
        break;
    }
    *value = list_of(reply.data() + verdict.value_offset, verdict.value_size);
    return *value ? 0 : -1;
}

} // namespace

bool
small_bytes(PyObject *seq, std::vector<std::uint8_t> &out)
{
    if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) {
        return false;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq, i);
        if (!PyLong_Check(item) ||
            Py_TYPE(item)->tp_richcompare != PyLong_Type.tp_richcompare ||
            Py_TYPE(item)->tp_as_number->nb_add !=
                PyLong_Type.tp_as_number->nb_add) {
            return false;
        }
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(item, &overflow);
        if (overflow || v < 0 || v > 255) {
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return true;
}

Ref
call_chkd(PyObject *chkd, bool own, PyObject *data)
{
    if (own) {
        return check_data_rule(data);
    }
    return Ref::steal(PyObject_CallOneArg(chkd, data));
}

Ref
list_of(const std::uint8_t *p, std::size_t n)
{
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) {
        return Ref();
    }
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *v = PyLong_FromLong(p[i]);
        if (v == nullptr) {
            return Ref();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list;
}

Ref
own_list(PyObject *seq)
{
    if (PyList_CheckExact(seq)) {
        return Ref::steal(PyList_GetSlice(seq, 0, PyList_GET_SIZE(seq)));
    }
    // len(reply), then reply[i] for each index, as the checks read it: an
    // object without a length is refused, never iterated without end.
    Py_ssize_t n = PyObject_Size(seq);
    if (n < 0) {
        return Ref();
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(seq, i));
        if (!item || PyList_Append(list.get(), item.get()) < 0) {
            return Ref();
        }
    }
    return list;
}

Ref
call_hex_str(PyObject *module, PyObject *data)
{
    Ref fn = lookup_global(module, state_of_module(module)->str_hex_str);
    if (!fn) {
        return Ref();
    }
    return Ref::steal(PyObject_CallOneArg(fn.get(), data));
}

Ref
check_data_rule(PyObject *data)
{
    if (PyBytes_Check(data)) {
        core::ByteView view = {
            reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(data)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(data))};
        return Ref::steal(PyLong_FromLong(core::check_data(view)));
    }
    // s = 0; s = s + data[0] .. data[6]; then data[7 .. 6 + data[6]] as far as
    // the length taken first reaches. Each element is fetched when it is
    // added (IndexError if the sequence shrank meanwhile), never kept.
    Py_ssize_t n = PyObject_Size(data);
    if (n < 0) {
        return Ref();
    }
    CheckSum sum;
    std::size_t end = core::check_data_end(static_cast<std::size_t>(n), 0);
    for (std::size_t i = 0; i < end; ++i) {
        Ref item =
            Ref::steal(PySequence_GetItem(data, static_cast<Py_ssize_t>(i)));
        if (!item || sum.add(item.get()) < 0) {
            return Ref();
        }
        if (i + 1 == core::kUserDataOffset && n > kUserDataAt) {
            Py_ssize_t declared =
                PyNumber_AsSsize_t(item.get(), PyExc_OverflowError);
            if (declared == -1 && PyErr_Occurred()) {
                return Ref();
            }
            end = core::check_data_end(
                static_cast<std::size_t>(n),
                declared > 0 ? static_cast<std::size_t>(declared) : 0);
        }
    }
    return sum.fold();
}

int
judge_reply(PyObject *module, PyObject *reply, PyObject *grh,
            PyObject *recv_header, PyObject *chkd, bool own_chkd, Verdict *out)
{
    Bytes reply_bytes, want_header, want_app;
    if (own_chkd && small_bytes(reply, reply_bytes) &&
        small_bytes(grh, want_header) && small_bytes(recv_header, want_app)) {
        return judge_reply_bytes(module, reply_bytes, grh, recv_header,
                                 want_header, want_app, &out->value,
                                 &out->code, &out->message);
    }
    return judge_general(module, reply, grh, recv_header, chkd, own_chkd, out);
}

} // namespace comm
