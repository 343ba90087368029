"""``python -m reports``: the report command (see reports.cli)."""

import sys

from reports.cli import main

sys.exit(main())
