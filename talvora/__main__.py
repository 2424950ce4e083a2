"""``python -m talvora``: the talvora command line."""

import sys

from talvora.cli import main

if __name__ == "__main__":
    sys.exit(main())
