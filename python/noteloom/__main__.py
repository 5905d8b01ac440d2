"""python -m noteloom: the command line of noteloom.cli."""

import sys

from noteloom.cli import main

if __name__ == "__main__":
    sys.exit(main())
