"""The error raised for malformed input files."""


class InputError(ValueError):
    """A scenario, station or records file that cannot be read.

    The message names the file and, where it helps, the line, table or column at fault, in one
    line, e.g. ``stations.csv line 4: latitude_deg 'north' is not a number``.
    """
