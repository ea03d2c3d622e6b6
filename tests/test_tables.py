"""The protocol tables: codes, texts, order, and the header dictionaries."""

import tarvelpump.comm as comm


def entries(table):
    return [(e.name, int(e), e.text) for e in table]


def test_state_tables():
    assert entries(comm.PowerStatus) == [
        ("AC", 0, "交流电"), ("BATTERY", 1, "电池"), ("DC", 2, "直流电"),
        ("EXTERNAL", 3, "外部电源")]
    assert entries(comm.PumpStatus) == [
        ("OFF", 0, "离线"), ("STOP", 1, "停止"), ("RUN", 2, "运行"),
        ("PAUSE", 3, "暂停"), ("BOLUS", 4, "丸剂量(快推量)"),
        ("PURGING", 5, "清洗 Purging"), ("KVO", 6, "保持静脉通畅")]
    assert entries(comm.PumpDoorStatus) == [("OPEN", 1, "开启"), ("CLOSE", 0, "关闭")]
    assert entries(comm.RateUnit) == [("ML", 0, "毫升"), ("DROP", 1, "滴")]
    assert comm.PumpDoorStatus.codes == (1, 0)
    assert comm.PumpStatus.codes == (0, 1, 2, 3, 4, 5, 6)
    assert comm.PumpStatus.get_option_by_code(6) is comm.PumpStatus.KVO
    assert comm.PumpStatus.get_option_by_code(7) is None


ALARMS = [
    ("ALARM_CRYSTAL_CHECK", 0x8000, "系统出错", -1),
    ("ALARM_WDT_RESET_POWER_LOST", 0x4000, "系统出错", -1),
    ("ALARM_MOTOR_CHECK_FAULT", 0x2000, "系统出错", -1),
    ("ALARM_KEY_STUCK", 0x1000, "键出错", -1),
    ("ALARM_DEPLETED_BATTERY", 0x0800, "电池电量耗尽", -1),
    ("ALARM_MOTOR_RATE_FAULT", 0x0400, "驱动出错请重新启动", -1),
    ("ALARM_AIR_IN_LINE", 0x0200, "请排除管路气泡", 4),
    ("ALARM_OCCLUSION", 0x0100, "管路堵塞", 0),
    ("ALARM_INFUSION_COMPLETE", 0x0080, "输液完毕", 1),
    ("ALARM_DOOR_OPEN", 0x0040, "门未关", 6),
    ("ALARM_KVO_COMPLETE", 0x0020, "KVO完毕", 2),
    ("ALARM_PURGE_KEY_STUCK", 0x0010, "检查面贴快进处是否下凹", -1),
    ("ALARM_INFUSION_NEARLY_COMPLETE", 0x0008, "即将输液完毕", 3),
    ("ALARM_PUMP_STOPPED_REMINDER", 0x0004, "您是否忘了启动", 5),
    ("ALARM_LOW_BATTERY", 0x0002, "电池即将用完", -1),
]


def test_alarm_tables():
    assert entries(comm.KeltPumpAlarmBits) == [a[:3] for a in ALARMS]
    order = comm.AlarmOrder
    assert type(order) is dict
    assert [(k.name, v) for k, v in order.items()] == [(a[0], a[3]) for a in ALARMS]
    for key in order:
        assert key is getattr(comm.KeltPumpAlarmBits, key.name)


COMMANDS = [
    ("SET_START_CONTROL", 0x21, None, 0, 0),
    ("SET_STOP_CONTROL", 0x22, None, 0, 0),
    ("GET_INFUSION_PARAMETER", 0x49,
     "1.Syring Brand 2.Syringe Size 3.Occlusion Level 4.VTBI 5.Rate,6.Total", 0, 15),
    ("GET_PUMP_STATUS", 0x4B, "1.PUMP Status (Off/Stop/Run/Pause/Bolus/Purging/KVO)", 0, 1),
    ("GET_TOTAL_VALUE", 0x4C, "1.Total", 0, 4),
    ("GET_KVO_RATE", 0x50, "1.KVO Rate", 1, 4),
    ("GET_PUMP_ALARM", 0x57, "1.Alarm", 0, 4),
    ("GET_BUBBLE", 0x77, "Bubble", 0, 1),
    ("GET_PUMPDOOR_STATUS", 0x78, "1.Door Sensor", 0, 1),
    ("GET_REMAIN_TIME", 0xA3, "1.Get remian time of infusion", 0, 2),
    ("GET_RATE_UNIT", 0xA8, "Get rate uint(0:mL/h 1:drop/min)", 0, 1),
]


def test_commands_and_headers():
    assert entries(comm.Command) == [c[:3] for c in COMMANDS]
    for table, column in ((comm.CommandSendAppHeader, 3), (comm.CommandRecvAppHeader, 4)):
        assert type(table) is dict
        assert [k.name for k in table] == [c[0] for c in COMMANDS]
        for (name, code, _, *lengths), (key, header) in zip(COMMANDS, table.items()):
            assert type(header) is list and len(header) == 2
            assert header[0] is key is getattr(comm.Command, name)
            assert header[1] == lengths[column - 3] and type(header[1]) is int
    # Each header is its own list.
    assert len({id(h) for h in comm.CommandSendAppHeader.values()}) == 11
    assert comm.hex_str(comm.CommandRecvAppHeader[comm.Command.GET_INFUSION_PARAMETER]) == "0x49 0xf"


def test_texts_pass_through_translation_once(tmp_path):
    """A catalogue active at import translates the table texts."""
    import subprocess
    import sys

    code = (
        "import gettext\n"
        "gettext.gettext = lambda s: s.upper() if s.isascii() else '<' + s + '>'\n"
        "import tarvelpump.comm as c\n"
        "print(c.PumpStatus.RUN.text, c.Command.GET_BUBBLE.text,"
        " c.DeviceReturnCode.SUCCESS.text, c.Command.SET_START_CONTROL.text)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, check=True, cwd=tmp_path)
    assert out.stdout.split() == ["<运行>", "BUBBLE", "Success", "None"]
