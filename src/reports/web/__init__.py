"""The reference web host: every report as a page, colored through ``tintora`` and
filtered through ``Tintora.name_map``, the way a host application uses the modules.

    reports web                      # http://127.0.0.1:8765/ on a sample warehouse
    reports web --db URL --port 9000

A host team copying the pattern reads, in this order: ``screens`` (the filter names its
screens use and the ``_col_map`` entries that turn them into columns), ``form`` (a
form's filters through ``name_map``), ``colors`` (cell colors from ``Tintora(db).get``,
one read per table per page), ``running`` (a report on a read-only connection,
cancelled when the browser leaves) and ``app`` (the pages). ``command`` is where the
pages borrow the ``reports`` command's checks and output formats.

Importing this package imports nothing of the web stack; ``reports.web.app`` needs the
``web`` extra (Starlette, Jinja2, uvicorn).
"""
