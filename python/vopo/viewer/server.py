"""The viewer's HTTP server: the static page and the JSON API, on 127.0.0.1
only.

The page routes by the URL's fragment (``#/trace/<id>/call/<frame id>``),
so the server serves one page at "/" and answers the API under "/api/".
A path it does not know gets a 404 page.
"""

import json
import mimetypes
import re
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from urllib.parse import parse_qsl, unquote, urlsplit

from vopo.viewer.api import ApiError, Viewer
from vopo.viewer.store_access import StoreUnavailable, TraceNotFound

HOST = "127.0.0.1"
STATIC_FILES = ("index.html", "app.js", "style.css")
_NOT_FOUND_PAGE = (
    "<!doctype html><meta charset=utf-8><title>Not found - vopo</title>"
    "<h1>Not found</h1><p>Nothing here. <a href=\"/\">Back to the traces</a></p>"
)
_ROUTES = [
    (re.compile(r"/api/traces"), lambda viewer, query: viewer.traces(query)),
    (re.compile(r"/api/traces/(?P<trace>[^/]+)"), lambda viewer, query, trace: viewer.trace(trace, query)),
    (re.compile(r"/api/traces/(?P<trace>[^/]+)/nodes/(?P<node>\d+)"),
     lambda viewer, query, trace, node: viewer.node(trace, int(node))),
    (re.compile(r"/api/traces/(?P<trace>[^/]+)/nodes/(?P<node>\d+)/children"),
     lambda viewer, query, trace, node: viewer.children(trace, int(node), query)),
    (re.compile(r"/api/traces/(?P<trace>[^/]+)/calls/(?P<frame>[^/]+)"),
     lambda viewer, query, trace, frame: viewer.frame(trace, frame)),
    (re.compile(r"/api/traces/(?P<trace>[^/]+)/search"), lambda viewer, query, trace: viewer.search(trace, query)),
    (re.compile(r"/api/traces/(?P<trace>[^/]+)/flame"), lambda viewer, query, trace: viewer.flame(trace, query)),
]


def make_server(store, port=0):
    """A server for ``store`` on 127.0.0.1:``port`` (0: a free port), not yet serving."""
    server = ThreadingHTTPServer((HOST, port), _Handler)
    server.daemon_threads = True
    server.viewer = Viewer(store)
    return server


def url_of(server, trace_id=None):
    host, port = server.server_address[:2]
    return f"http://{host}:{port}/" + (f"#/trace/{trace_id}" if trace_id else "")


class _Handler(BaseHTTPRequestHandler):
    server_version = "vopo-view"

    def do_GET(self):
        parts = urlsplit(self.path)
        path = unquote(parts.path)
        if path.startswith("/api/"):
            self._api(path, dict(parse_qsl(parts.query)))
        elif path in ("/", "/index.html"):
            self._static("index.html")
        elif path.startswith("/static/") and path[len("/static/"):] in STATIC_FILES:
            self._static(path[len("/static/"):])
        else:
            self._send(HTTPStatus.NOT_FOUND, _NOT_FOUND_PAGE.encode(), "text/html; charset=utf-8")

    def log_message(self, format, *args):
        # The terminal belongs to the URL and to errors, not to every request.
        pass

    def _api(self, path, query):
        try:
            status, body = HTTPStatus.OK, _dispatch(self.server.viewer, path, query)
        except ApiError as error:
            status, body = error.status, {"error": str(error)}
        except TraceNotFound as error:
            status, body = HTTPStatus.NOT_FOUND, {"error": f"no trace with id {error} in this database"}
        except StoreUnavailable as error:
            status, body = error.status, {"error": str(error)}
        except Exception as error:
            # One failing request must not stop the viewer; the page shows why it failed.
            status, body = HTTPStatus.INTERNAL_SERVER_ERROR, {"error": f"{type(error).__name__}: {error}"}
        data = json.dumps(body, allow_nan=False, default=str).encode()
        self._send(status, data, "application/json")

    def _static(self, name):
        data = resources.files("vopo.viewer").joinpath("static", name).read_bytes()
        kind = mimetypes.guess_type(name)[0] or "application/octet-stream"
        self._send(HTTPStatus.OK, data, f"{kind}; charset=utf-8")

    def _send(self, status, data, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)


def _dispatch(viewer, path, query):
    for pattern, handler in _ROUTES:
        match = pattern.fullmatch(path)
        if match:
            return handler(viewer, query, **match.groupdict())
    raise ApiError(HTTPStatus.NOT_FOUND, f"no API at {path}")
