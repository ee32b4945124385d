import sys

from cropmerge.cli import main

sys.exit(main())
