"""Report query (`orvesta`) and color index (`tintora`) extension modules, with the
host helper module `dependencies` they rely on."""
