"""Entry point of ``python -m quorvel``."""

from __future__ import annotations

import sys

from quorvel.cli import main

if __name__ == "__main__":
    sys.exit(main())
