"""``vopo view``: the local web viewer, on 127.0.0.1, until interrupted."""

import sys
import webbrowser

from vopo.cli.errors import CliError
from vopo.viewer.server import make_server, url_of
from vopo.viewer.store_access import Store, StoreUnavailable


def view(db_path, reference, port, timeout, open_browser):
    """Serve the viewer; ``reference`` (a trace id, a unique prefix or
    "latest") names a trace to open at once."""
    store = Store(db_path, timeout)
    try:
        with store.opened() as reader:
            trace_id = None if reference is None else reader.resolve(reference)
    except StoreUnavailable as error:
        store.close()
        raise CliError(str(error)) from None
    try:
        server = make_server(store, port)
    except OSError as error:
        store.close()
        raise CliError(f"cannot serve on 127.0.0.1:{port}: {error.strerror or error}") from None
    if trace_id is not None:
        # Read the trace while the browser starts.
        server.viewer.prepare(trace_id)
    url = url_of(server, trace_id)
    print(f"vopo: viewing {db_path} at {url} (Ctrl-C stops)", flush=True)
    if open_browser:
        webbrowser.open(url)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("vopo: viewer stopped", file=sys.stderr)
    finally:
        server.server_close()
        store.close()
    return 0
