"""The local web viewer behind ``vopo view``.

A small HTTP server on 127.0.0.1 serves the static page in ``static/`` and a
JSON API over the trace database, which it opens read-only. A trace is
indexed once, in the background, by streaming its stored documents record
by record; the index keeps each call's place in the tree and where its
records lie in the blob, so values are decoded only when the page asks for
them.
"""
