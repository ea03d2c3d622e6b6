"""`python -m tarvelpump`: the tarvelpump command."""

import sys

from tarvelpump.cli import main

if __name__ == "__main__":
    sys.exit(main())
