"""``python -m vantre``: the command-line tool."""

import sys

from vantre.cli import main

sys.exit(main())
