"""`python -m crop_row_merge`: the crop-row-merge command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
