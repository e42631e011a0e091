"""``python -m orvane``: the ``orvane-forecast`` command line."""

import sys

from orvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
