"""Report query (`orvesta`) and color index (`tintora`) extension modules, with the
host helper module `dependencies` they rely on."""

from reports._version import __version__

__all__ = ["__version__"]
