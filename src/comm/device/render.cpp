// ConvertFunc and the rendering rule behind Kelt.get_value_str.
//
//     ConvertFunc = {
//         Command.GET_PUMP_STATUS: lambda v:
//         PumpStatus.get_option_by_code(v[0]).text,
//         Command.GET_PUMPDOOR_STATUS: lambda v:
//         PumpDoorStatus.get_option_by_code(v[0]).text,
//         Command.GET_REMAIN_TIME: lambda v: _("%s小时%s分") % (v[0], v[1]),
//         Command.GET_RATE_UNIT: lambda v:
//         RateUnit.get_option_by_code(v[0]).text, Command.GET_PUMP_ALARM:
//         lambda v: format(int.from_bytes(bytes(v[:2]), "big"), "016b"),
//     }
#include "comm/device/render.hpp"

#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <iterator>

namespace comm {

using py::Ref;

namespace {

// table.get_option_by_code(v[0]).text, the table looked up now.
PyObject *
text_by_code(PyObject *module, PyObject *value,
             PyObject *ModuleState::*table_name)
{
    ModuleState *st = state_of_module(module);
    Ref table = lookup_global(module, st->*table_name);
    if (!table) {
        return nullptr;
    }
    Ref code = Ref::steal(PySequence_GetItem(value, 0));
    if (!code) {
        return nullptr;
    }
    Ref entry = Ref::steal(PyObject_CallMethodOneArg(
        table.get(), st->str_get_option_by_code, code.get()));
    if (!entry) {
        return nullptr;
    }
    return PyObject_GetAttr(entry.get(), st->str_text);
}

// table.get_option_by_code(v[0]).text for the table named by `Table`.
template <PyObject *ModuleState::*Table>
PyObject *
convert_by_table(PyObject *module, PyObject *value)
{
    COMM_ENTRY_BEGIN
    return text_by_code(module, value, Table);
    COMM_ENTRY_END(nullptr)
}

PyObject *
convert_remain_time(PyObject *module, PyObject *value)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    // Translated at every use, so a catalogue installed later applies.
    Ref gettext = lookup_global(module, st->str__);
    if (!gettext) {
        return nullptr;
    }
    Ref translated =
        Ref::steal(PyObject_CallOneArg(gettext.get(), st->remain_time_format));
    if (!translated) {
        return nullptr;
    }
    Ref hours = Ref::steal(PySequence_GetItem(value, 0));
    if (!hours) {
        return nullptr;
    }
    Ref minutes = Ref::steal(PySequence_GetItem(value, 1));
    if (!minutes) {
        return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(2, hours.get(), minutes.get()));
    if (!args) {
        return nullptr;
    }
    return PyNumber_Remainder(translated.get(), args.get());
    COMM_ENTRY_END(nullptr)
}

PyObject *
convert_alarm(PyObject *, PyObject *value)
{
    COMM_ENTRY_BEGIN
    // bytes(v[:2]) refuses anything but byte values, as the word must be.
    Ref head = Ref::steal(PySequence_GetSlice(value, 0, 2));
    if (!head) {
        return nullptr;
    }
    Ref raw = Ref::steal(PyBytes_FromObject(head.get()));
    if (!raw) {
        return nullptr;
    }
    const auto *p =
        reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(raw.get()));
    unsigned word = 0;
    for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(raw.get()); ++i) {
        word = (word << 8) | p[i]; // big-endian
    }
    char bits[16];
    for (int i = 0; i < 16; ++i) {
        bits[i] = (word & (0x8000u >> i)) ? '1' : '0';
    }
    return PyUnicode_FromStringAndSize(bits, 16);
    COMM_ENTRY_END(nullptr)
}

// Anonymous one-argument functions, as lambdas are.
PyMethodDef kConverters[] = {
    {"<lambda>", COMM_METH(convert_by_table<&ModuleState::str_PumpStatus>),
     METH_O, nullptr},
    {"<lambda>", COMM_METH(convert_by_table<&ModuleState::str_PumpDoorStatus>),
     METH_O, nullptr},
    {"<lambda>", COMM_METH(convert_remain_time), METH_O, nullptr},
    {"<lambda>", COMM_METH(convert_by_table<&ModuleState::str_RateUnit>),
     METH_O, nullptr},
    {"<lambda>", COMM_METH(convert_alarm), METH_O, nullptr},
};
const char *const kConvertedCommands[] = {
    "GET_PUMP_STATUS", "GET_PUMPDOOR_STATUS", "GET_REMAIN_TIME",
    "GET_RATE_UNIT",   "GET_PUMP_ALARM",
};

} // namespace

int
add_convert_func(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    st->remain_time_format = PyUnicode_FromString("%s小时%s分");
    if (st->remain_time_format == nullptr) {
        return -1;
    }
    Ref command = lookup_global(module, st->str_Command);
    if (!command) {
        return -1;
    }
    Ref table = Ref::steal(PyDict_New());
    if (!table) {
        return -1;
    }
    for (std::size_t i = 0; i < std::size(kConverters); ++i) {
        Ref key = Ref::steal(
            PyObject_GetAttrString(command.get(), kConvertedCommands[i]));
        if (!key) {
            return -1;
        }
        Ref fn = make_module_function(module, &kConverters[i]);
        if (!fn) {
            return -1;
        }
        if (PyDict_SetItem(table.get(), key.get(), fn.get()) < 0) {
            return -1;
        }
    }
    return py::module_add(module, "ConvertFunc", std::move(table));
}

namespace {

// assert command in Command, Command as bound now; skipped under -O.
int
check_command(PyObject *module, PyObject *command)
{
    ModuleState *st = state_of_module(module);
    if (st->optimize) {
        return 0;
    }
    Ref command_table = lookup_global(module, st->str_Command);
    if (!command_table) {
        return -1;
    }
    int member = PySequence_Contains(command_table.get(), command);
    if (member < 0) {
        return -1;
    }
    if (!member) {
        PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    return 0;
}

// CommandRecvAppHeader[command][1]: the length of the user data that the
// command's reply carries.
Ref
reply_length(PyObject *module, PyObject *command)
{
    ModuleState *st = state_of_module(module);
    Ref headers = lookup_global(module, st->str_CommandRecvAppHeader);
    if (!headers) {
        return Ref();
    }
    Ref header = Ref::steal(PyObject_GetItem(headers.get(), command));
    if (!header) {
        return Ref();
    }
    return Ref::steal(PySequence_GetItem(header.get(), 1));
}

// 1 when `value` is a list or tuple, not empty, whose length equals
// `expected`; 0 when not; -1 with an exception set.
int
fits(PyObject *value, PyObject *expected)
{
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        return 0;
    }
    Py_ssize_t size =
        PyList_Check(value) ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
    if (size == 0) {
        return 0;
    }
    Ref length = Ref::steal(PyLong_FromSsize_t(size));
    if (!length) {
        return -1;
    }
    int differs = PyObject_RichCompareBool(length.get(), expected, Py_NE);
    return differs < 0 ? -1 : !differs;
}

// The converter raised an Exception (still set): a value it cannot read is
// logged and shown as it came.
Ref
unconverted(PyObject *module, PyObject *command, PyObject *value)
{
    ModuleState *st = state_of_module(module);
    PyErr_Clear();
    Ref name = Ref::steal(PyObject_GetAttr(command, st->str_name));
    if (!name) {
        return Ref();
    }
    if (log_line(module, st->str_error,
                 Ref::steal(PyUnicode_FromFormat(
                     "Fail to convert value %S of command %S", value,
                     name.get()))) < 0) {
        return Ref();
    }
    return Ref::steal(PyObject_Str(value));
}

// ConvertFunc.get(command)(value), or str(value) when it has no converter.
Ref
converted(PyObject *module, PyObject *command, PyObject *value)
{
    ModuleState *st = state_of_module(module);
    Ref converters = lookup_global(module, st->str_ConvertFunc);
    if (!converters) {
        return Ref();
    }
    Ref converter = Ref::steal(
        PyObject_CallMethodOneArg(converters.get(), st->str_get, command));
    if (!converter) {
        return Ref();
    }
    int truthy = PyObject_IsTrue(converter.get());
    if (truthy < 0) {
        return Ref();
    }
    if (!truthy) {
        return Ref::steal(PyObject_Str(value));
    }
    Ref text = Ref::steal(PyObject_CallOneArg(converter.get(), value));
    if (text || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return text;
    }
    return unconverted(module, command, value);
}

} // namespace

Ref
value_text(PyObject *module, PyObject *command, PyObject *value)
{
    if (check_command(module, command) < 0) {
        return Ref();
    }
    Ref expected = reply_length(module, command);
    if (!expected) {
        return Ref();
    }
    int fit = fits(value, expected.get());
    if (fit <= 0) {
        return fit < 0 ? Ref() : Ref::borrow(Py_None);
    }
    return converted(module, command, value);
}

} // namespace comm
