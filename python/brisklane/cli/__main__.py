"""Allow ``python -m brisklane.cli``, as ``python -m brisklane``."""

import sys

from brisklane.cli import main

if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
