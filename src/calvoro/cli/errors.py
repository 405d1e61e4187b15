"""The one kind of failure the command reports."""


class CliError(Exception):
    """A failure reported as one line on standard error, exit status 2."""
