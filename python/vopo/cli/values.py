"""Showing recorded values on the command line: one-line renderings and
JSON-safe copies of trace documents.

Documents are decoded with ``vopo.values.decode.ext_hook``, so recorded
values keep their kinds (tuples, sets, objects, cut strings ...), and are
written by ``vopo.values.display``: strings quoted, tuples in parentheses,
objects as ``<shop.Order object at 0x…: {sku: 'A1'}>``. Values of traces
saved before the value model (plain MessagePack, objects as texts) show as
what they are: the texts quoted.
"""

from vopo.values import display
from vopo.values.decode import More

render = display.display
render_arguments = display.display_arguments
shorten = display.shorten


def render_locals_lines(locals_value):
    """One ``name = value`` line per local, values whole."""
    if not isinstance(locals_value, dict):
        return [render(locals_value)]
    return [
        f"{display.ELLIPSIS} (+{key.count} more)" if isinstance(key, More) else f"{display.name_text(key)} = {render(item)}"
        for key, item in locals_value.items()
    ]


def json_safe(document):
    """A copy of a decoded trace document that ``json`` can write.

    The document's own structure stays as it is, with the thread native ids
    that key "frames" written as strings; records and every other value take
    the kind-keeping form of ``vopo.values.display.json_safe`` (tuples as
    ``{"$kind": "tuple", "items": [...]}`` and so on; docs/values.md).
    """
    if not isinstance(document, dict):
        return display.json_safe(document)
    out = {}
    for key, value in document.items():
        if key == "frames" and isinstance(value, dict):
            out[key] = {str(native_id): display.json_safe(records) for native_id, records in value.items()}
        else:
            out[str(key)] = display.json_safe(value)
    return out
