// tarvelpump.comm: module definition, per-module state and start-up.
//
// Start-up binds the namespace in a fixed order, as this Python would:
//     import serial.tools.list_ports
//     Options, Option                      # the option-table facility
//     from gettext import gettext as _
//     import random; import time; import logging
//     log = logging.getLogger(__name__)
//     try:
//         import serial
//     except:
//         import subprocess
//         try:
//             subprocess.run("pip install pyserial", stdout=subprocess.PIPE,
//                            stderr=subprocess.STDOUT)
//             import serial
//         except:
//             log.error("ERROR: Fail to initialize COM interface.")
//     PROD_ID = 6; PC2PUMP = 1; PUMP2PC = 0
//     ... tables, hex_str, list_ports, Kelt, fake_* ...
//     if __name__ == "__main__": demonstration
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

namespace comm {

using py::Ref;

namespace {

int
bind_import(PyObject *module, const char *bind_as, const char *dotted)
{
    return py::module_add(module, bind_as, import_statement(module, dotted));
}

// The installation attempt and the second import; leaves any exception set.
int
install_pyserial(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref subprocess = lookup_global(module, st->str_subprocess);
    if (!subprocess) {
        return -1;
    }
    Ref run = Ref::steal(PyObject_GetAttr(subprocess.get(), st->str_run));
    if (!run) {
        return -1;
    }
    Ref pipe = Ref::steal(PyObject_GetAttr(subprocess.get(), st->str_PIPE));
    if (!pipe) {
        return -1;
    }
    Ref merged =
        Ref::steal(PyObject_GetAttr(subprocess.get(), st->str_STDOUT));
    if (!merged) {
        return -1;
    }
    // One string, no shell: what the command line was always given as.
    Ref cmdline = Ref::steal(PyUnicode_FromString("pip install pyserial"));
    if (!cmdline) {
        return -1;
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(2, st->str_stdout, st->str_stderr));
    if (!kwnames) {
        return -1;
    }
    PyObject *args[] = {cmdline.get(), pipe.get(), merged.get()};
    Ref done =
        Ref::steal(PyObject_Vectorcall(run.get(), args, 1, kwnames.get()));
    if (!done) {
        return -1;
    }
    return bind_import(module, "serial", "serial");
}

int
guarded_serial_import(PyObject *module)
{
    if (bind_import(module, "serial", "serial") == 0) {
        return 0;
    }
    PyErr_Clear(); // any failure leads to the installation attempt
    if (bind_import(module, "subprocess", "subprocess") < 0) {
        return -1; // not guarded
    }
    if (install_pyserial(module) == 0) {
        return 0;
    }
    PyErr_Clear(); // reported as one log line; the import carries on
    return log_line(module, state_of_module(module)->str_error,
                    Ref::steal(PyUnicode_FromString(
                        "ERROR: Fail to initialize COM interface.")));
}

int
add_gettext(PyObject *module)
{
    Ref gettext_mod = import_statement(module, "gettext");
    if (!gettext_mod) {
        return -1;
    }
    return py::module_add(
        module, "_",
        Ref::steal(PyObject_GetAttrString(gettext_mod.get(), "gettext")));
}

int
add_logger(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref logging = lookup_global(module, st->str_logging);
    if (!logging) {
        return -1;
    }
    Ref name = lookup_global(module, st->str___name__);
    if (!name) {
        return -1;
    }
    return py::module_add(module, "log",
                          Ref::steal(PyObject_CallMethodOneArg(
                              logging.get(), st->str_getLogger, name.get())));
}

int
add_frame_constants(PyObject *module)
{
    if (PyModule_AddIntConstant(module, "PROD_ID", 6) < 0) {
        return -1;
    }
    if (PyModule_AddIntConstant(module, "PC2PUMP", 1) < 0) {
        return -1;
    }
    return PyModule_AddIntConstant(module, "PUMP2PC", 0);
}

int
intern_names(ModuleState *st)
{
#define COMM_INTERN_NAME(n)                                                   \
    st->str_##n = PyUnicode_InternFromString(#n);                             \
    if (st->str_##n == nullptr) {                                             \
        return -1;                                                            \
    }
    COMM_INTERNED_NAMES(COMM_INTERN_NAME)
#undef COMM_INTERN_NAME
    st->kw_serial =
        PyTuple_Pack(3, st->str_port, st->str_baudrate, st->str_timeout);
    if (st->kw_serial == nullptr) {
        return -1;
    }
    st->kw_sr = PyTuple_Pack(2, st->str_data, st->str_recv_len);
    if (st->kw_sr == nullptr) {
        return -1;
    }
    st->kw_send_item = PyTuple_Pack(4, st->str_command, st->str_data_send,
                                    st->str_to_addr, st->str_to_channel);
    if (st->kw_send_item == nullptr) {
        return -1;
    }
    return 0;
}

int
is_main(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref name = lookup_global(module, st->str___name__);
    if (!name) {
        return -1;
    }
    if (!PyUnicode_Check(name.get())) {
        return 0;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "__main__") == 0;
}

int
import_list_ports(PyObject *module)
{
    return bind_import(module, "serial", "serial.tools.list_ports");
}

int
import_random(PyObject *module)
{
    return bind_import(module, "random", "random");
}

int
import_time(PyObject *module)
{
    return bind_import(module, "time", "time");
}

int
import_logging(PyObject *module)
{
    return bind_import(module, "logging", "logging");
}

// The start-up steps, in the fixed order of the module's namespace.
using Step = int (*)(PyObject *module);
const Step kStartup[] = {
    import_list_ports, add_options,           add_gettext,
    import_random,     import_time,           import_logging,
    add_logger,        guarded_serial_import, add_frame_constants,
    add_device_return, add_state_tables,      add_command_tables,
    add_convert_func,  add_functions,         add_kelt,
    add_hold_port,     add_simulation,
};

int
comm_exec(PyObject *module)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    if (intern_names(st) < 0) {
        return -1;
    }
    // Among the dunders from the start, as in a module run from source:
    // eval() in our namespace (3.13's inspect does, for a default in a text
    // signature) would otherwise add it after every other name.
    if (PyDict_SetItemString(PyModule_GetDict(module), "__builtins__",
                             PyEval_GetBuiltins()) < 0) {
        return -1;
    }
    st->empty_data = PyList_New(0);
    if (st->empty_data == nullptr) {
        return -1;
    }
    // Assertions follow the interpreter's -O, read once as sys.flags.
    PyObject *flags = PySys_GetObject("flags"); // borrowed
    if (flags == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.flags");
        return -1;
    }
    Ref optimize = Ref::steal(PyObject_GetAttr(flags, st->str_optimize));
    if (!optimize) {
        return -1;
    }
    st->optimize = PyObject_IsTrue(optimize.get());
    if (st->optimize < 0) {
        return -1;
    }

    // Any step that fails ends the import with its exception; m_clear then
    // drops whatever the state holds so far.
    for (Step step : kStartup) {
        if (step(module) < 0) {
            return -1;
        }
    }
    int main = is_main(module);
    if (main < 0) {
        return -1;
    }
    if (main) {
        return run_demo(module);
    }
    return 0;
    COMM_ENTRY_END(-1)
}

int
comm_traverse(PyObject *module, visitproc visit, void *arg)
{
    ModuleState *st = state_of_module(module);
    if (st == nullptr) {
        return 0;
    }
    Py_VISIT(st->DeviceReturn_type);
    Py_VISIT(st->Kelt_type);
    Py_VISIT(st->default_code);
    Py_VISIT(st->empty_data);
    return 0;
}

int
comm_clear(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    if (st == nullptr) {
        return 0;
    }
#define COMM_CLEAR_NAME(n) Py_CLEAR(st->str_##n);
    COMM_INTERNED_NAMES(COMM_CLEAR_NAME)
#undef COMM_CLEAR_NAME
    Py_CLEAR(st->DeviceReturn_type);
    Py_CLEAR(st->Kelt_type);
    Py_CLEAR(st->default_code);
    Py_CLEAR(st->empty_data);
    Py_CLEAR(st->kw_serial);
    Py_CLEAR(st->kw_sr);
    Py_CLEAR(st->kw_send_item);
    Py_CLEAR(st->kw_query);
    Py_CLEAR(st->kw_addr_channel);
    Py_CLEAR(st->remain_time_format);
    Py_CLEAR(st->default_port);
    Py_CLEAR(st->default_baud_rate);
    Py_CLEAR(st->default_timeout);
    return 0;
}

void
comm_free(void *module)
{
    comm_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot comm_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(comm_exec)},
    py::gil_used_slot(), // the module relies on the GIL
    {0, nullptr},
};

} // namespace

PyModuleDef comm_def = {
    PyModuleDef_HEAD_INIT,
    "comm",              // m_name
    nullptr,             // m_doc: the module has no docstring
    sizeof(ModuleState), // m_size
    nullptr,       // m_methods: functions are bound during exec, in order
    comm_slots,    // m_slots
    comm_traverse, // m_traverse
    comm_clear,    // m_clear
    comm_free,     // m_free
};

} // namespace comm

PyMODINIT_FUNC
PyInit_comm(void)
{
    return PyModuleDef_Init(&comm::comm_def);
}
