"""`python -m gelvo_cli`: the gelvo command."""

import sys

from gelvo_cli import main

sys.exit(main())
