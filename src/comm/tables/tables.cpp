// The protocol tables: pump states, alarm bits and their order, commands and
// the application header of every request and reply.
//
//     class PumpStatus(Options):
//         OFF = (0, _("离线")) ...
//     AlarmOrder = {KeltPumpAlarmBits.ALARM_CRYSTAL_CHECK: -1, ...}
//     class Command(Options):
//         SET_START_CONTROL = 0x21 ...
//     CommandSendAppHeader = {Command.SET_START_CONTROL:
//     [Command.SET_START_CONTROL, 0], ...}
#include "comm/py/compat.hpp"
#include "comm/records/options.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <iterator>

namespace comm {

using py::Ref;

namespace {

const EntrySpec kPowerStatus[] = {
    {"AC", 0, "交流电"},
    {"BATTERY", 1, "电池"},
    {"DC", 2, "直流电"},
    {"EXTERNAL", 3, "外部电源"},
};

// Codes follow the order of the reply's states:
// Off/Stop/Run/Pause/Bolus/Purging/KVO.
const EntrySpec kPumpStatus[] = {
    {"OFF", 0, "离线"},
    {"STOP", 1, "停止"},
    {"RUN", 2, "运行"},
    {"PAUSE", 3, "暂停"},
    {"BOLUS", 4, "丸剂量(快推量)"},
    {"PURGING", 5, "清洗 Purging"},
    {"KVO", 6, "保持静脉通畅"},
};

const EntrySpec kPumpDoorStatus[] = {
    {"OPEN", 1, "开启"},
    {"CLOSE", 0, "关闭"},
};

const EntrySpec kRateUnit[] = {
    {"ML", 0, "毫升"},
    {"DROP", 1, "滴"},
};

// One entry per bit of the 16-bit alarm word, most significant first; bit 0
// names no alarm.
struct AlarmSpec {
    EntrySpec entry;
    long order; // position among the placed alarms, -1 when unplaced
};

const AlarmSpec kAlarms[] = {
    {{"ALARM_CRYSTAL_CHECK", 0x8000, "系统出错"}, -1},
    {{"ALARM_WDT_RESET_POWER_LOST", 0x4000, "系统出错"}, -1},
    {{"ALARM_MOTOR_CHECK_FAULT", 0x2000, "系统出错"}, -1},
    {{"ALARM_KEY_STUCK", 0x1000, "键出错"}, -1},
    {{"ALARM_DEPLETED_BATTERY", 0x0800, "电池电量耗尽"}, -1},
    {{"ALARM_MOTOR_RATE_FAULT", 0x0400, "驱动出错请重新启动"}, -1},
    {{"ALARM_AIR_IN_LINE", 0x0200, "请排除管路气泡"}, 4},
    {{"ALARM_OCCLUSION", 0x0100, "管路堵塞"}, 0},
    {{"ALARM_INFUSION_COMPLETE", 0x0080, "输液完毕"}, 1},
    {{"ALARM_DOOR_OPEN", 0x0040, "门未关"}, 6},
    {{"ALARM_KVO_COMPLETE", 0x0020, "KVO完毕"}, 2},
    {{"ALARM_PURGE_KEY_STUCK", 0x0010, "检查面贴快进处是否下凹"}, -1},
    {{"ALARM_INFUSION_NEARLY_COMPLETE", 0x0008, "即将输液完毕"}, 3},
    {{"ALARM_PUMP_STOPPED_REMINDER", 0x0004, "您是否忘了启动"}, 5},
    {{"ALARM_LOW_BATTERY", 0x0002, "电池即将用完"}, -1},
};

// Command code, request and reply user-data lengths.
struct CommandSpec {
    EntrySpec entry;
    long send_len;
    long recv_len;
};

const CommandSpec kCommands[] = {
    {{"SET_START_CONTROL", 0x21, nullptr}, 0, 0},
    {{"SET_STOP_CONTROL", 0x22, nullptr}, 0, 0},
    {{"GET_INFUSION_PARAMETER", 0x49,
      "1.Syring Brand 2.Syringe Size 3.Occlusion Level 4.VTBI 5.Rate,6.Total"},
     0,
     15},
    {{"GET_PUMP_STATUS", 0x4B,
      "1.PUMP Status (Off/Stop/Run/Pause/Bolus/Purging/KVO)"},
     0,
     1},
    {{"GET_TOTAL_VALUE", 0x4C, "1.Total"}, 0, 4},
    {{"GET_KVO_RATE", 0x50, "1.KVO Rate"}, 1, 4},
    {{"GET_PUMP_ALARM", 0x57, "1.Alarm"}, 0, 4},
    {{"GET_BUBBLE", 0x77, "Bubble"}, 0, 1},
    {{"GET_PUMPDOOR_STATUS", 0x78, "1.Door Sensor"}, 0, 1},
    {{"GET_REMAIN_TIME", 0xA3, "1.Get remian time of infusion"}, 0, 2},
    {{"GET_RATE_UNIT", 0xA8, "Get rate uint(0:mL/h 1:drop/min)"}, 0, 1},
};

template <std::size_t N>
int
add_table(PyObject *module, const char *name, const EntrySpec (&entries)[N])
{
    return py::module_add(module, name,
                          make_table(module, name, entries, N, true));
}

// A table's own entry, fetched by name as `Table.NAME` would.
Ref
entry_of(PyObject *table, const char *name)
{
    return Ref::steal(PyObject_GetAttrString(table, name));
}

int
add_alarm_tables(PyObject *module)
{
    EntrySpec entries[std::size(kAlarms)];
    for (std::size_t i = 0; i < std::size(kAlarms); ++i) {
        entries[i] = kAlarms[i].entry;
    }
    Ref table = make_table(module, "KeltPumpAlarmBits", entries,
                           std::size(entries), true);
    if (!table) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "KeltPumpAlarmBits", table.get()) < 0) {
        return -1;
    }
    Ref order = Ref::steal(PyDict_New());
    if (!order) {
        return -1;
    }
    for (const AlarmSpec &alarm : kAlarms) {
        Ref key = entry_of(table.get(), alarm.entry.name);
        if (!key) {
            return -1;
        }
        Ref position = Ref::steal(PyLong_FromLong(alarm.order));
        if (!position) {
            return -1;
        }
        if (PyDict_SetItem(order.get(), key.get(), position.get()) < 0) {
            return -1;
        }
    }
    return py::module_add(module, "AlarmOrder", std::move(order));
}

// {Command.X: [Command.X, length], ...}, each value a new list.
Ref
header_dict(PyObject *command_table, long CommandSpec::*length)
{
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return Ref();
    }
    for (const CommandSpec &command : kCommands) {
        Ref key = entry_of(command_table, command.entry.name);
        if (!key) {
            return Ref();
        }
        Ref n = Ref::steal(PyLong_FromLong(command.*length));
        if (!n) {
            return Ref();
        }
        Ref header = Ref::steal(PyList_New(2));
        if (!header) {
            return Ref();
        }
        PyList_SET_ITEM(header.get(), 0, Ref::borrow(key.get()).release());
        PyList_SET_ITEM(header.get(), 1, n.release());
        if (PyDict_SetItem(dict.get(), key.get(), header.get()) < 0) {
            return Ref();
        }
    }
    return dict;
}

} // namespace

int
add_state_tables(PyObject *module)
{
    if (add_table(module, "PowerStatus", kPowerStatus) < 0) {
        return -1;
    }
    if (add_table(module, "PumpStatus", kPumpStatus) < 0) {
        return -1;
    }
    if (add_table(module, "PumpDoorStatus", kPumpDoorStatus) < 0) {
        return -1;
    }
    if (add_table(module, "RateUnit", kRateUnit) < 0) {
        return -1;
    }
    return add_alarm_tables(module);
}

int
add_command_tables(PyObject *module)
{
    EntrySpec entries[std::size(kCommands)];
    for (std::size_t i = 0; i < std::size(kCommands); ++i) {
        entries[i] = kCommands[i].entry;
    }
    Ref command =
        make_table(module, "Command", entries, std::size(entries), true);
    if (!command) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "Command", command.get()) < 0) {
        return -1;
    }
    if (py::module_add(module, "CommandSendAppHeader",
                       header_dict(command.get(), &CommandSpec::send_len)) <
        0) {
        return -1;
    }
    return py::module_add(module, "CommandRecvAppHeader",
                          header_dict(command.get(), &CommandSpec::recv_len));
}

} // namespace comm
