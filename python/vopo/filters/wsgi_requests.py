"""Marks each request that ``vopo.middleware.VopoWSGIMiddleware`` handles:
the request's method and path when the middleware is called, the response
status when it returns.
"""

PATH_FRAGMENT = "vopo/middleware.py"


def _request_facts(environ):
    if not isinstance(environ, dict):
        return {"method": None, "path": None}
    return {"method": environ.get("REQUEST_METHOD"), "path": environ.get("PATH_INFO")}


def _response_facts(response):
    return {"status": getattr(response, "status", None)}


def _process(frame, event, arg, context):
    local_names = frame.f_locals
    if event == "call":
        return _request_facts(local_names.get("environ"))
    return _response_facts(local_names.get("response"))


def description():
    return {
        "co_names": ["__call__"],
        "path_fragment": PATH_FRAGMENT,
        "call_type": "start_request",
        "return_type": "end_request",
        "subtype": "wsgi",
        "process": _process,
    }
