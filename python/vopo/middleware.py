"""WSGI middleware that marks each request in the trace.

Wrap an application and profile the server (for example with the vopo
command line): every request then gets a "start_request" record with its
method and path and an "end_request" record with its response status,
around the frames of the application that handled it.

    application = VopoWSGIMiddleware(application)
"""


class _Response:
    """What the application told ``start_response``, read by the request plugin."""

    __slots__ = ("status",)

    def __init__(self):
        self.status = None


class VopoWSGIMiddleware:
    def __init__(self, app):
        self.app = app

    def __call__(self, environ, start_response):
        response = _Response()

        def recording_start_response(status, headers, *exc_info):
            response.status = status
            return start_response(status, headers, *exc_info)

        return self.app(environ, recording_start_response)
