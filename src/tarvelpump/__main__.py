"""Prints the pump commands that tarvelpump.comm knows, with their headers."""

from tarvelpump import comm


def main() -> int:
    print(f"{'command':<24} {'code':>5}  request  reply")
    for command in comm.Command:
        send = comm.hex_str(comm.CommandSendAppHeader[command])
        recv = comm.hex_str(comm.CommandRecvAppHeader[command])
        print(f"{command.name:<24} {command:#06x}  {send:<8} {recv}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
