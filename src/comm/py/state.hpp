// Per-module state: our heap classes, values fixed at class definition and
// interned attribute names. Nothing here may be rebound from Python: the
// logger, `_`, `serial`, `time`, `random` and the tables are looked up in the
// module dict at call time.
#pragma once

#include "comm/py/ref.hpp"

// Interned names, one `PyObject *str_<name>` each. The string is the name.
// Kept as written: the formatter would break the list inside the names.
// clang-format off
#define COMM_INTERNED_NAMES(X)                                                \
    X(__init__) X(__name__) X(__import__) X(_Kelt__chkd) X(_Kelt__grh) X(_Kelt__gsh)      \
    X(_Kelt__send_and_recv) X(_Kelt__send_commands) X(_Kelt__sr) X(DEBUG)     \
    X(Command) X(CommandRecvAppHeader) X(CommandSendAppHeader) X(ConvertFunc)      \
    X(DeviceReturn) X(DeviceReturnCode) X(EXCEPTION) X(INVALID_APP_DATA)        \
    X(INVALID_CHECK_DATA) X(INVALID_DATA_LENGTH) X(INVALID_HEADER_DATA)       \
    X(INVALID_USER_DATA_LENGTH) X(NO_DATA_RETURN) X(PumpDoorStatus)           \
    X(PumpStatus) X(RateUnit) X(_) X(GET_PUMP_STATUS) X(GET_PUMP_ALARM)      \
    X(GET_KVO_RATE) X(GET_PUMPDOOR_STATUS) X(GET_REMAIN_TIME) X(GET_RATE_UNIT)\
    X(Option) X(Options) X(PIPE) X(STDOUT) X(Serial)      \
    X(SerialException) X(SUCCESS) X(addr) X(baud_rate) X(baudrate) X(channel) \
    X(close) X(cmd) X(code) X(codes) X(command) X(comports) X(data)           \
    X(data_send) X(debug) X(error) X(get) X(getLogger) X(get_option_by_code)  \
    X(get_value_str) X(head_data_list) X(hex_str) X(Kelt) X(KeltPumpAlarmBits) X(round)      \
    X(fake_random_options_code) X(fake_return_code_msg) X(basicConfig)          \
    X(datetime) X(get_all_status) X(level) X(now) X(print) X(info) X(isEnabledFor) X(is_open)     \
    X(list_ports) X(log) X(logging) X(message) X(name) X(open) X(options) X(port)        \
    X(random) X(read) X(recv_len) X(run) X(serial) X(serialutil) X(sleep)     \
    X(flags) X(optimize) X(stderr) X(stdout) X(subprocess) X(text) X(time) X(timeout) X(to_addr)   \
    X(to_channel) X(tools) X(val) X(value) X(write)                          \
    X(_options_) X(_option_class) X(_option_index_) X(__new__) X(__objclass__)\
    X(getattr) X(isupper)
// clang-format on

namespace comm {

// Option tables whose look-ups (the `_option_index_` in their own dict) were
// found to belong to their `_options_`, filed by the table's type version
// tag (records/option_index.cpp). CPython changes the tags on any assignment
// to the table, its bases or its metaclass, so a slot whose tags still
// match needs no second check. No object is held or borrowed here.
struct OptionIndexSlot {
    PyObject *table;       // compared, never dereferenced
    unsigned int tag;      // the table's tp_version_tag; 0: empty
    unsigned int meta_tag; // its metaclass's
};

constexpr unsigned int kOptionIndexSlots = 64;

struct ModuleState {
#define COMM_DECLARE_NAME(n) PyObject *str_##n;
    COMM_INTERNED_NAMES(COMM_DECLARE_NAME)
#undef COMM_DECLARE_NAME

    PyObject *DeviceReturn_type; // heap class, also bound in the module
    PyObject *Kelt_type;         // heap class, also bound in the module
    // Default of DeviceReturn's `code` argument, taken when the class is made.
    PyObject *default_code;
    // The one shared default of `data_send`: an empty list nobody modifies.
    PyObject *empty_data;
    // Keyword names of the calls every exchange makes, built once.
    PyObject *kw_serial; // ("port", "baudrate", "timeout"): serial.Serial(...)
    PyObject *kw_sr;     // ("data", "recv_len"): self._Kelt__sr(...)
    PyObject
        *kw_send_item;  // ("command", "data_send", "to_addr", "to_channel")
    PyObject *kw_query; // ("command", "to_addr", "to_channel")
    PyObject
        *kw_addr_channel; // ("addr", "channel"): self.__send_commands(...)
    // "%s小时%s分", one object as the constant of a function's code is.
    PyObject *remain_time_format;
    // Kelt's defaults, one object each as a def's defaults are.
    PyObject *default_port;      // "COM1"
    PyObject *default_baud_rate; // 9600
    PyObject *default_timeout;   // 1
    // sys.flags.optimize at start-up: assertions are skipped when set.
    int optimize;
    // Option tables known to be indexed; nothing held, so nothing to clear.
    OptionIndexSlot option_index[kOptionIndexSlots];
};

extern PyModuleDef comm_def;

inline ModuleState *
state_of_module(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// The module that defined `type` (or one of its bases); borrowed, may be
// null with an exception set.
inline PyObject *
module_of_type(PyTypeObject *type)
{
    return PyType_GetModuleByDef(type, &comm_def);
}

inline ModuleState *
state_of_type(PyTypeObject *type)
{
    PyObject *module = module_of_type(type);
    return module ? state_of_module(module) : nullptr;
}

} // namespace comm
