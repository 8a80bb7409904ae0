"""`python -m nuvel`: the nuvel command line."""

import sys

from nuvel.cli import main

sys.exit(main())
