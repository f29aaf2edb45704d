"""`python -m mendseqs_cli`: the `mendseqs` command."""

from . import entry_point

entry_point()
