"""`python -m tarvelpump.comm`: runs the module as the main program.

An extension module has no code for runpy to execute, so this makes a fresh
instance of it from its import spec, names it "__main__" before its start-up
runs, and executes it; start-up then ends with the demonstration.
"""

import importlib.util


def main() -> None:
    spec = importlib.util.find_spec("tarvelpump.comm")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)


if __name__ == "__main__":
    main()
