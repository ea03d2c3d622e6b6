// Made-up status sets for hosts that run without a pump, and the
// demonstration that runs when the module is the main program.
//
//     def fake_random_options_code(options):
//         return options.codes[int(random.random() * len(options.codes))]
//
//     def fake_return_code_msg(cmd, val):
//         if round(random.random() * 100, 2) > 90:
//             return DeviceReturnCode.NO_DATA_RETURN,
//             DeviceReturnCode.NO_DATA_RETURN.text
//         return DeviceReturnCode.SUCCESS, Kelt.get_value_str(cmd, val)
//
//     def fake_get_all_status(addr):
//         log.info("Get faking status from address %s" % addr)
//         ... five records: status, door, remaining time, rate unit, alarm
//         word
#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/py/unpack.hpp"
#include "comm/records/device_return.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <cstdint>

namespace comm {

using py::Ref;

namespace {

// random.random(), the module and its function looked up now, so a host's
// random.seed reproduces a run.
int
draw(PyObject *module, double *r)
{
    ModuleState *st = state_of_module(module);
    Ref random = lookup_global(module, st->str_random);
    if (!random) {
        return -1;
    }
    Ref value =
        Ref::steal(PyObject_CallMethodNoArgs(random.get(), st->str_random));
    if (!value) {
        return -1;
    }
    *r = PyFloat_AsDouble(value.get());
    if (*r == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

// int(r * n): the whole part, which truncates; a NaN or an infinity (from a
// rebound random) raises what int() raises.
Ref
whole_part(double r, Py_ssize_t n)
{
    return Ref::steal(PyLong_FromDouble(r * static_cast<double>(n)));
}

Ref
random_code(PyObject *module, PyObject *options)
{
    ModuleState *st = state_of_module(module);
    Ref codes = Ref::steal(PyObject_GetAttr(options, st->str_codes));
    if (!codes) {
        return Ref();
    }
    double r = 0;
    if (draw(module, &r) < 0) {
        return Ref();
    }
    Ref again = Ref::steal(PyObject_GetAttr(options, st->str_codes));
    if (!again) {
        return Ref();
    }
    Py_ssize_t n = PyObject_Size(again.get());
    if (n < 0) {
        return Ref();
    }
    Ref index = whole_part(r, n);
    if (!index) {
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(codes.get(), index.get()));
}

Ref
code_and_message(PyObject *module, PyObject *cmd, PyObject *val)
{
    ModuleState *st = state_of_module(module);
    double r = 0;
    if (draw(module, &r) < 0) {
        return Ref();
    }
    // round(x, 2) as the builtin does it: correctly rounded in decimal.
    Ref round = lookup_global(module, st->str_round);
    if (!round) {
        return Ref();
    }
    Ref x = Ref::steal(PyFloat_FromDouble(r * 100));
    if (!x) {
        return Ref();
    }
    Ref digits = Ref::steal(PyLong_FromLong(2));
    if (!digits) {
        return Ref();
    }
    PyObject *args[] = {x.get(), digits.get()};
    Ref rounded =
        Ref::steal(PyObject_Vectorcall(round.get(), args, 2, nullptr));
    if (!rounded) {
        return Ref();
    }
    Ref ninety = Ref::steal(PyLong_FromLong(90));
    if (!ninety) {
        return Ref();
    }
    int no_data = PyObject_RichCompareBool(rounded.get(), ninety.get(), Py_GT);
    if (no_data < 0) {
        return Ref();
    }
    Ref codes = lookup_global(module, st->str_DeviceReturnCode);
    if (!codes) {
        return Ref();
    }
    if (no_data) {
        Ref code =
            Ref::steal(PyObject_GetAttr(codes.get(), st->str_NO_DATA_RETURN));
        if (!code) {
            return Ref();
        }
        Ref text = Ref::steal(PyObject_GetAttr(code.get(), st->str_text));
        if (!text) {
            return Ref();
        }
        return Ref::steal(PyTuple_Pack(2, code.get(), text.get()));
    }
    Ref code = Ref::steal(PyObject_GetAttr(codes.get(), st->str_SUCCESS));
    if (!code) {
        return Ref();
    }
    Ref kelt = lookup_global(module, st->str_Kelt);
    if (!kelt) {
        return Ref();
    }
    Ref get_value_str =
        Ref::steal(PyObject_GetAttr(kelt.get(), st->str_get_value_str));
    if (!get_value_str) {
        return Ref();
    }
    PyObject *render_args[] = {cmd, val};
    Ref text = Ref::steal(
        PyObject_Vectorcall(get_value_str.get(), render_args, 2, nullptr));
    if (!text) {
        return Ref();
    }
    return Ref::steal(PyTuple_Pack(2, code.get(), text.get()));
}

PyObject *
module_fake_random_options_code(PyObject *module, PyObject *const *args,
                                size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    PyObject *names[] = {st->str_options};
    PyObject *options;
    py::Signature sig = {"fake_random_options_code", names, 1, 1, 0};
    if (py::bind_args(sig, args, nargsf, kwnames, &options) < 0) {
        return nullptr;
    }
    return random_code(module, options).release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
module_fake_return_code_msg(PyObject *module, PyObject *const *args,
                            size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    PyObject *names[] = {st->str_cmd, st->str_val};
    PyObject *given[2];
    py::Signature sig = {"fake_return_code_msg", names, 2, 2, 0};
    if (py::bind_args(sig, args, nargsf, kwnames, given) < 0) {
        return nullptr;
    }
    return code_and_message(module, given[0], given[1]).release();
    COMM_ENTRY_END(nullptr)
}

// fake_random_options_code(<table>), the function and the table looked up now.
Ref
call_random_code(PyObject *module, PyObject *table_name)
{
    ModuleState *st = state_of_module(module);
    Ref fn = lookup_global(module, st->str_fake_random_options_code);
    if (!fn) {
        return Ref();
    }
    Ref table = lookup_global(module, table_name);
    if (!table) {
        return Ref();
    }
    return Ref::steal(PyObject_CallOneArg(fn.get(), table.get()));
}

// Appends DeviceReturn(command=..., value=..., code=..., message=...) with
// the code and message that fake_return_code_msg gives for the value.
int
append_record(PyObject *module, PyObject *records, PyObject *command_name,
              const Ref &value)
{
    ModuleState *st = state_of_module(module);
    Ref commands = lookup_global(module, st->str_Command);
    if (!commands) {
        return -1;
    }
    Ref command = Ref::steal(PyObject_GetAttr(commands.get(), command_name));
    if (!command) {
        return -1;
    }
    Ref fn = lookup_global(module, st->str_fake_return_code_msg);
    if (!fn) {
        return -1;
    }
    PyObject *args[] = {command.get(), value.get()};
    Ref pair = Ref::steal(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
    if (!pair) {
        return -1;
    }
    Ref items[2]; // code, message = pair
    if (py::unpack(pair.get(), items, 2) < 0) {
        return -1;
    }
    RecordArgs fields;
    fields.command = command.get();
    fields.command_by_keyword = true;
    fields.value = value.get();
    fields.code = items[0].get();
    fields.message = items[1].get();
    Ref record = make_device_return(module, fields);
    if (!record) {
        return -1;
    }
    return PyList_Append(records, record.get());
}

Ref
one_code_value(PyObject *module, PyObject *table_name)
{
    Ref code = call_random_code(module, table_name);
    if (!code) {
        return Ref();
    }
    return Ref::steal(Py_BuildValue("[O]", code.get()));
}

Ref
remain_time_value(PyObject *module)
{
    // [int(random() * 6), int(random() * 60)], left to right
    double hours = 0, minutes = 0;
    if (draw(module, &hours) < 0) {
        return Ref();
    }
    Ref h = whole_part(hours, 6);
    if (!h) {
        return Ref();
    }
    if (draw(module, &minutes) < 0) {
        return Ref();
    }
    Ref m = whole_part(minutes, 60);
    if (!m) {
        return Ref();
    }
    return Ref::steal(Py_BuildValue("[OO]", h.get(), m.get()));
}

Ref
alarm_value(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    double r = 0;
    if (draw(module, &r) < 0) {
        return Ref();
    }
    Ref whole = whole_part(r, 4);
    if (!whole) {
        return Ref();
    }
    Py_ssize_t count = PyNumber_AsSsize_t(whole.get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) {
        return Ref();
    }
    Ref word = Ref::steal(PyLong_FromLong(0));
    if (!word) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref bit = call_random_code(module, st->str_KeltPumpAlarmBits);
        if (!bit) {
            return Ref();
        }
        word = Ref::steal(PyNumber_Or(word.get(), bit.get()));
        if (!word) {
            return Ref();
        }
    }
    // The word as two big-endian bytes, then two zero bytes.
    long w = PyLong_AsLong(word.get());
    if (w == -1 && PyErr_Occurred()) {
        return Ref();
    }
    if (w < 0 || w > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return Ref();
    }
    return Ref::steal(
        Py_BuildValue("[llii]", (w >> 8) & 0xFF, w & 0xFF, 0, 0));
}

PyObject *
module_fake_get_all_status(PyObject *module, PyObject *const *args,
                           size_t nargsf, PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    PyObject *names[] = {st->str_addr};
    PyObject *addr;
    // A positional-only parameter, as the function has always taken it.
    py::Signature sig = {"fake_get_all_status", names, 1, 1, 0};
    if (py::bind_positional_only(sig, args, nargsf, kwnames, &addr) < 0) {
        return nullptr;
    }
    Ref format =
        Ref::steal(PyUnicode_FromString("Get faking status from address %s"));
    if (!format) {
        return nullptr;
    }
    if (log_line(module, st->str_info,
                 Ref::steal(PyUnicode_Format(format.get(), addr))) < 0) {
        return nullptr;
    }
    Ref records = Ref::steal(PyList_New(0));
    if (!records) {
        return nullptr;
    }
    // Each value is drawn before its success test, in this order.
    Ref status = one_code_value(module, st->str_PumpStatus);
    if (!status) {
        return nullptr;
    }
    if (append_record(module, records.get(), st->str_GET_PUMP_STATUS, status) <
        0) {
        return nullptr;
    }
    Ref door = one_code_value(module, st->str_PumpDoorStatus);
    if (!door) {
        return nullptr;
    }
    if (append_record(module, records.get(), st->str_GET_PUMPDOOR_STATUS,
                      door) < 0) {
        return nullptr;
    }
    Ref remain = remain_time_value(module);
    if (!remain) {
        return nullptr;
    }
    if (append_record(module, records.get(), st->str_GET_REMAIN_TIME, remain) <
        0) {
        return nullptr;
    }
    Ref unit = one_code_value(module, st->str_RateUnit);
    if (!unit) {
        return nullptr;
    }
    if (append_record(module, records.get(), st->str_GET_RATE_UNIT, unit) <
        0) {
        return nullptr;
    }
    Ref alarm = alarm_value(module);
    if (!alarm) {
        return nullptr;
    }
    if (append_record(module, records.get(), st->str_GET_PUMP_ALARM, alarm) <
        0) {
        return nullptr;
    }
    return records.release();
    COMM_ENTRY_END(nullptr)
}

PyMethodDef simulation_defs[] = {
    {"fake_random_options_code", COMM_METH(module_fake_random_options_code),
     METH_FASTCALL | METH_KEYWORDS,
     "fake_random_options_code(options)\n--\n\n"},
    {"fake_return_code_msg", COMM_METH(module_fake_return_code_msg),
     METH_FASTCALL | METH_KEYWORDS, "fake_return_code_msg(cmd, val)\n--\n\n"},
    {"fake_get_all_status", COMM_METH(module_fake_get_all_status),
     METH_FASTCALL | METH_KEYWORDS, "fake_get_all_status(addr, /)\n--\n\n"},
};

} // namespace

int
add_simulation(PyObject *module)
{
    for (PyMethodDef &def : simulation_defs) {
        if (py::module_add(module, def.ml_name,
                           make_module_function(module, &def)) < 0) {
            return -1;
        }
    }
    return 0;
}

namespace {

// logging.basicConfig(level=logging.DEBUG)
int
configure_logging(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref logging = lookup_global(module, st->str_logging);
    if (!logging) {
        return -1;
    }
    Ref basic_config =
        Ref::steal(PyObject_GetAttr(logging.get(), st->str_basicConfig));
    if (!basic_config) {
        return -1;
    }
    Ref level = Ref::steal(PyObject_GetAttr(logging.get(), st->str_DEBUG));
    if (!level) {
        return -1;
    }
    Ref kw = Ref::steal(PyTuple_Pack(1, st->str_level));
    if (!kw) {
        return -1;
    }
    PyObject *config_args[] = {level.get()};
    Ref configured = Ref::steal(
        PyObject_Vectorcall(basic_config.get(), config_args, 0, kw.get()));
    return configured ? 0 : -1;
}

// t1 = datetime.datetime.now(), bound in the module as the global t1.
Ref
start_time(PyObject *module, PyObject *datetime)
{
    ModuleState *st = state_of_module(module);
    Ref dt_class = Ref::steal(PyObject_GetAttr(datetime, st->str_datetime));
    if (!dt_class) {
        return Ref();
    }
    Ref t1 =
        Ref::steal(PyObject_CallMethodNoArgs(dt_class.get(), st->str_now));
    if (!t1) {
        return Ref();
    }
    if (PyModule_AddObjectRef(module, "t1", t1.get()) < 0) {
        return Ref();
    }
    return t1;
}

// g = Kelt("COM4"); rcs = g.get_all_status(addr=801), both bound as
// globals; returns rcs.
Ref
query_demo_pump(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref kelt = lookup_global(module, st->str_Kelt);
    if (!kelt) {
        return Ref();
    }
    Ref port = Ref::steal(PyUnicode_FromString("COM4"));
    if (!port) {
        return Ref();
    }
    Ref g = Ref::steal(PyObject_CallOneArg(kelt.get(), port.get()));
    if (!g) {
        return Ref();
    }
    if (PyModule_AddObjectRef(module, "g", g.get()) < 0) {
        return Ref();
    }
    Ref addr = Ref::steal(PyLong_FromLong(801));
    if (!addr) {
        return Ref();
    }
    Ref addr_kw = Ref::steal(PyTuple_Pack(1, st->str_addr));
    if (!addr_kw) {
        return Ref();
    }
    PyObject *query_args[] = {g.get(), addr.get()};
    Ref rcs = Ref::steal(PyObject_VectorcallMethod(
        st->str_get_all_status, query_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
        addr_kw.get()));
    if (!rcs) {
        return Ref();
    }
    if (PyModule_AddObjectRef(module, "rcs", rcs.get()) < 0) {
        return Ref();
    }
    return rcs;
}

// for s in rcs: print(s), with s bound as a global.
int
print_each(PyObject *module, PyObject *print, PyObject *rcs)
{
    Ref it = Ref::steal(PyObject_GetIter(rcs));
    if (!it) {
        return -1;
    }
    while (Ref s = Ref::steal(PyIter_Next(it.get()))) {
        if (PyModule_AddObjectRef(module, "s", s.get()) < 0) {
            return -1;
        }
        Ref shown = Ref::steal(PyObject_CallOneArg(print, s.get()));
        if (!shown) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

} // namespace

// The demonstration, as the module's main program runs it:
//     import datetime
//     logging.basicConfig(level=logging.DEBUG)
//     t1 = datetime.datetime.now(); print(t1)
//     g = Kelt("COM4")
//     rcs = g.get_all_status(addr=801)
//     for s in rcs: print(s)
int
run_demo(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref datetime = import_statement(module, "datetime");
    if (!datetime) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "datetime", datetime.get()) < 0) {
        return -1;
    }
    if (configure_logging(module) < 0) {
        return -1;
    }
    Ref t1 = start_time(module, datetime.get());
    if (!t1) {
        return -1;
    }
    // Looked up once, for the start time and for the records.
    Ref print = lookup_global(module, st->str_print);
    if (!print) {
        return -1;
    }
    Ref printed = Ref::steal(PyObject_CallOneArg(print.get(), t1.get()));
    if (!printed) {
        return -1;
    }
    Ref rcs = query_demo_pump(module);
    if (!rcs) {
        return -1;
    }
    return print_each(module, print.get(), rcs.get());
}

} // namespace comm
