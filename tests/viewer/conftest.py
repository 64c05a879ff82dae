"""Fixtures of the viewer's tests: a database written directly, a viewer
serving it on a free port, and headless Chromium driven by Selenium."""

import json
import os
import threading
import urllib.error
import urllib.request

import pytest

from viewer_traces import shop_database
from vopo.viewer.server import make_server, url_of
from vopo.viewer.store_access import Store

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Served:
    def __init__(self, server):
        self.server = server
        self.url = url_of(server)

    def get(self, path):
        """(status, decoded JSON or text) of a GET on the viewer."""
        try:
            with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=30) as response:
                return response.status, _body(response)
        except urllib.error.HTTPError as error:
            return error.code, _body(error)


def _body(response):
    data = response.read().decode()
    return json.loads(data) if response.headers.get("Content-Type", "").startswith("application/json") else data


@pytest.fixture
def serve():
    """serve(db_path) starts a viewer on the database and returns a Served."""
    servers = []

    def start(db_path, timeout=0.2):
        server = make_server(Store(db_path, timeout=timeout))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        servers.append(server)
        return Served(server)

    yield start
    for server in servers:
        server.shutdown()
        server.server_close()
        server.viewer.store.close()


@pytest.fixture(scope="session")
def shop_db(tmp_path_factory):
    return shop_database(tmp_path_factory.mktemp("viewer") / "traces.sqlite3")


@pytest.fixture(scope="session")
def browser():
    if os.environ.get("CI") and os.environ.get("VOPO_CI_FULL") != "1":
        pytest.skip("CI runs the browser tests on one interpreter only, the one with VOPO_CI_FULL=1")
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.skip("browser tests need Debian's chromium and chromium-driver (scripts/browser_deps.sh installs them)")
    webdriver = pytest.importorskip("selenium.webdriver", reason="browser tests need the selenium package")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,900", "--lang=en-US"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=CHROMEDRIVER), options=options)
    driver.implicitly_wait(0)
    yield driver
    driver.quit()
