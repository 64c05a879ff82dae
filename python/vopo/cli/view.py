"""``vopo view``: the local web viewer, on 127.0.0.1, until interrupted."""

import sys
import webbrowser

from vopo.cli.errors import CliError
from vopo.viewer.server import make_server, url_of
from vopo.viewer.store_access import Store, StoreUnavailable


def view(db_path, trace_id, port, timeout, open_browser):
    store = Store(db_path, timeout)
    try:
        with store.opened():
            pass
    except StoreUnavailable as error:
        raise CliError(str(error)) from None
    try:
        server = make_server(store, port)
    except OSError as error:
        raise CliError(f"cannot serve on 127.0.0.1:{port}: {error.strerror or error}") from None
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
