"""Entry point of ``python -m calvoro``."""
import sys

from calvoro.cli import main

sys.exit(main(prog="python -m calvoro"))
