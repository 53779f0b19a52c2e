"""Allow ``python -m brisklane``."""

import sys

from brisklane.cli import main

if __name__ == "__main__":
    sys.exit(main())
