// Made-up status sets for hosts that run without a pump, and the
// demonstration that runs when the module is the main program.
//
//     def fake_random_options_code(options):
//         return options.codes[int(random.random() * len(options.codes))]
//
//     def fake_return_code_msg(cmd, val):
//         if round(random.random() * 100, 2) > 90:
//             return DeviceReturnCode.NO_DATA_RETURN, DeviceReturnCode.NO_DATA_RETURN.text
//         return DeviceReturnCode.SUCCESS, Kelt.get_value_str(cmd, val)
//
//     def fake_get_all_status(addr):
//         log.info("Get faking status from address %s" % addr)
//         ... five records: status, door, remaining time, rate unit, alarm word
#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/py/unpack.hpp"
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
    Ref value = random ? Ref::steal(PyObject_CallMethodNoArgs(random.get(), st->str_random))
                       : Ref();
    if (!value) {
        return -1;
    }
    *r = PyFloat_AsDouble(value.get());
    return (*r == -1.0 && PyErr_Occurred()) ? -1 : 0;
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
    return index ? Ref::steal(PyObject_GetItem(codes.get(), index.get())) : Ref();
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
    Ref x = round ? Ref::steal(PyFloat_FromDouble(r * 100)) : Ref();
    Ref digits = x ? Ref::steal(PyLong_FromLong(2)) : Ref();
    if (!digits) {
        return Ref();
    }
    PyObject *args[] = {x.get(), digits.get()};
    Ref rounded = Ref::steal(PyObject_Vectorcall(round.get(), args, 2, nullptr));
    Ref ninety = rounded ? Ref::steal(PyLong_FromLong(90)) : Ref();
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
        Ref code = Ref::steal(PyObject_GetAttr(codes.get(), st->str_NO_DATA_RETURN));
        Ref text = code ? Ref::steal(PyObject_GetAttr(code.get(), st->str_text)) : Ref();
        return text ? Ref::steal(PyTuple_Pack(2, code.get(), text.get())) : Ref();
    }
    Ref code = Ref::steal(PyObject_GetAttr(codes.get(), st->str_SUCCESS));
    Ref kelt = code ? lookup_global(module, st->str_Kelt) : Ref();
    Ref get_value_str = kelt ? Ref::steal(PyObject_GetAttr(kelt.get(), st->str_get_value_str))
                             : Ref();
    if (!get_value_str) {
        return Ref();
    }
    PyObject *render_args[] = {cmd, val};
    Ref text = Ref::steal(PyObject_Vectorcall(get_value_str.get(), render_args, 2, nullptr));
    return text ? Ref::steal(PyTuple_Pack(2, code.get(), text.get())) : Ref();
}

PyObject *
module_fake_random_options_code(PyObject *module, PyObject *const *args, size_t nargsf,
                                PyObject *kwnames)
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
module_fake_return_code_msg(PyObject *module, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames)
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
    Ref table = fn ? lookup_global(module, table_name) : Ref();
    return table ? Ref::steal(PyObject_CallOneArg(fn.get(), table.get())) : Ref();
}

// Appends DeviceReturn(command=..., value=..., code=..., message=...) with
// the code and message that fake_return_code_msg gives for the value.
int
append_record(PyObject *module, PyObject *records, PyObject *command_name, Ref value)
{
    ModuleState *st = state_of_module(module);
    if (!value) {
        return -1;
    }
    Ref commands = lookup_global(module, st->str_Command);
    Ref command = commands ? Ref::steal(PyObject_GetAttr(commands.get(), command_name)) : Ref();
    Ref fn = command ? lookup_global(module, st->str_fake_return_code_msg) : Ref();
    if (!fn) {
        return -1;
    }
    PyObject *args[] = {command.get(), value.get()};
    Ref pair = Ref::steal(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
    if (!pair) {
        return -1;
    }
    Ref items[2];  // code, message = pair
    if (py::unpack(pair.get(), items, 2) < 0) {
        return -1;
    }
    Ref record_class = lookup_global(module, st->str_DeviceReturn);
    Ref kwnames = record_class ? Ref::steal(PyTuple_Pack(4, st->str_command, st->str_value,
                                                         st->str_code, st->str_message))
                               : Ref();
    if (!kwnames) {
        return -1;
    }
    PyObject *record_args[] = {command.get(), value.get(), items[0].get(), items[1].get()};
    Ref record = Ref::steal(PyObject_Vectorcall(record_class.get(), record_args, 0,
                                                kwnames.get()));
    return record ? PyList_Append(records, record.get()) : -1;
}

Ref
one_code_value(PyObject *module, PyObject *table_name)
{
    Ref code = call_random_code(module, table_name);
    return code ? Ref::steal(Py_BuildValue("[O]", code.get())) : Ref();
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
    if (!h || draw(module, &minutes) < 0) {
        return Ref();
    }
    Ref m = whole_part(minutes, 60);
    return m ? Ref::steal(Py_BuildValue("[OO]", h.get(), m.get())) : Ref();
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
    for (Py_ssize_t i = 0; i < count && word; ++i) {
        Ref bit = call_random_code(module, st->str_KeltPumpAlarmBits);
        word = bit ? Ref::steal(PyNumber_Or(word.get(), bit.get())) : Ref();
    }
    if (!word) {
        return Ref();
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
    return Ref::steal(Py_BuildValue("[llii]", (w >> 8) & 0xFF, w & 0xFF, 0, 0));
}

PyObject *
module_fake_get_all_status(PyObject *module, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames)
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
    Ref format = Ref::steal(PyUnicode_FromString("Get faking status from address %s"));
    Ref line = format ? Ref::steal(PyUnicode_Format(format.get(), addr)) : Ref();
    Ref log = line ? lookup_global(module, st->str_log) : Ref();
    Ref logged = log ? Ref::steal(PyObject_CallMethodOneArg(log.get(), st->str_info, line.get()))
                     : Ref();
    Ref records = logged ? Ref::steal(PyList_New(0)) : Ref();
    if (!records) {
        return nullptr;
    }
    // Each value is drawn before its success test, in this order.
    if (append_record(module, records.get(), st->str_GET_PUMP_STATUS,
                      one_code_value(module, st->str_PumpStatus)) < 0 ||
        append_record(module, records.get(), st->str_GET_PUMPDOOR_STATUS,
                      one_code_value(module, st->str_PumpDoorStatus)) < 0 ||
        append_record(module, records.get(), st->str_GET_REMAIN_TIME,
                      remain_time_value(module)) < 0 ||
        append_record(module, records.get(), st->str_GET_RATE_UNIT,
                      one_code_value(module, st->str_RateUnit)) < 0 ||
        append_record(module, records.get(), st->str_GET_PUMP_ALARM, alarm_value(module)) < 0) {
        return nullptr;
    }
    return records.release();
    COMM_ENTRY_END(nullptr)
}

PyMethodDef simulation_defs[] = {
    {"fake_random_options_code", COMM_METH(module_fake_random_options_code),
     METH_FASTCALL | METH_KEYWORDS, "fake_random_options_code(options)\n--\n\n"},
    {"fake_return_code_msg", COMM_METH(module_fake_return_code_msg),
     METH_FASTCALL | METH_KEYWORDS, "fake_return_code_msg(cmd, val)\n--\n\n"},
    {"fake_get_all_status", COMM_METH(module_fake_get_all_status),
     METH_FASTCALL | METH_KEYWORDS, "fake_get_all_status(addr, /)\n--\n\n"},
};

// Binds a module attribute and keeps a reference for the caller.
int
bind(PyObject *module, const char *name, Ref &value)
{
    return value ? PyModule_AddObjectRef(module, name, value.get()) : -1;
}

}  // namespace

int
add_simulation(PyObject *module)
{
    for (PyMethodDef &def : simulation_defs) {
        if (py::module_add(module, def.ml_name, make_module_function(module, &def)) < 0) {
            return -1;
        }
    }
    return 0;
}

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
    if (bind(module, "datetime", datetime) < 0) {
        return -1;
    }
    Ref logging = lookup_global(module, st->str_logging);
    Ref basic_config =
        logging ? Ref::steal(PyObject_GetAttr(logging.get(), st->str_basicConfig)) : Ref();
    Ref level = basic_config ? Ref::steal(PyObject_GetAttr(logging.get(), st->str_DEBUG)) : Ref();
    Ref kw = level ? Ref::steal(PyTuple_Pack(1, st->str_level)) : Ref();
    if (!kw) {
        return -1;
    }
    PyObject *config_args[] = {level.get()};
    Ref configured =
        Ref::steal(PyObject_Vectorcall(basic_config.get(), config_args, 0, kw.get()));
    if (!configured) {
        return -1;
    }
    Ref dt_class = Ref::steal(PyObject_GetAttr(datetime.get(), st->str_datetime));
    Ref t1 = dt_class ? Ref::steal(PyObject_CallMethodNoArgs(dt_class.get(), st->str_now))
                      : Ref();
    if (bind(module, "t1", t1) < 0) {
        return -1;
    }
    Ref print = lookup_global(module, st->str_print);
    if (!print || !Ref::steal(PyObject_CallOneArg(print.get(), t1.get()))) {
        return -1;
    }
    Ref kelt = lookup_global(module, st->str_Kelt);
    Ref port = kelt ? Ref::steal(PyUnicode_FromString("COM4")) : Ref();
    Ref g = port ? Ref::steal(PyObject_CallOneArg(kelt.get(), port.get())) : Ref();
    if (bind(module, "g", g) < 0) {
        return -1;
    }
    Ref addr = Ref::steal(PyLong_FromLong(801));
    Ref addr_kw = addr ? Ref::steal(PyTuple_Pack(1, st->str_addr)) : Ref();
    if (!addr_kw) {
        return -1;
    }
    PyObject *query_args[] = {g.get(), addr.get()};
    Ref rcs = Ref::steal(PyObject_VectorcallMethod(st->str_get_all_status, query_args,
                                                   1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                   addr_kw.get()));
    if (bind(module, "rcs", rcs) < 0) {
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(rcs.get()));
    if (!it) {
        return -1;
    }
    while (Ref s = Ref::steal(PyIter_Next(it.get()))) {
        if (PyModule_AddObjectRef(module, "s", s.get()) < 0 ||
            !Ref::steal(PyObject_CallOneArg(print.get(), s.get()))) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace comm
