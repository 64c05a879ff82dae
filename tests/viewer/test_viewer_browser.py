"""The viewer in a real browser: headless Chromium, as a user clicks
through it. Screenshots go to $VOPO_ARTIFACTS (default: the test's
temporary directory); with VOPO_UPDATE_DOCS=1 the one of a failing call
also replaces docs/viewer.png, the README's picture."""

import os
import pathlib
import shutil

import pytest

from viewer_traces import FAILING_TEST, FAILING_TRACE

WAIT = 20
DOCS_SCREENSHOT = pathlib.Path(__file__).resolve().parents[2] / "docs" / "viewer.png"


@pytest.fixture
def page(browser, serve, shop_db):
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait

    served = serve(shop_db)
    browser.get(served.url)
    # The page re-renders as answers arrive: an element found a moment ago may be gone.
    return Page(browser, served, WebDriverWait(browser, WAIT, ignored_exceptions=[StaleElementReferenceException]))


class Page:
    def __init__(self, driver, served, wait):
        self.driver = driver
        self.served = served
        self.wait = wait

    def find(self, css):
        from selenium.webdriver.common.by import By

        return self.wait.until(lambda driver: _visible(driver.find_elements(By.CSS_SELECTOR, css)))

    def all(self, css):
        from selenium.webdriver.common.by import By

        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text_of(self, css, contains):
        self.wait.until(lambda driver: contains in self.find(css).text)
        return self.find(css).text

    def trace_rows(self):
        self.find("table.traces tbody tr")
        return self.driver.execute_script(
            "return [...document.querySelectorAll('table.traces tbody tr')].map((row) => row.dataset.trace);")

    def row_of(self, name):
        """The tree row of the first call named ``name``."""
        return self.wait.until(lambda driver: next(
            (row for row in self.all(".row.call-row") if row.find_element("css selector", ".call-name").text == name),
            None))

    def screenshot(self, name):
        folder = pathlib.Path(os.environ.get("VOPO_ARTIFACTS") or self.served.server.viewer.store.db_path).parent
        folder = folder if os.environ.get("VOPO_ARTIFACTS") else folder / "screenshots"
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / name
        self.driver.save_screenshot(str(path))
        return path


def _visible(elements):
    return next((element for element in elements if element.is_displayed()), None)


def test_list_shows_newest_first_with_test_and_outcome(page):
    assert page.trace_rows() == [
        "trc_01J0VIEWERSCRIPTRUN00000003", FAILING_TRACE, "trc_01J0VIEWERPASSINGTEST00001"]
    failing = page.find(f'tr[data-trace="{FAILING_TRACE}"]')
    assert FAILING_TEST in failing.text and "failed" in failing.text


@pytest.mark.parametrize("control, choice, expected", [
    ("#outcome", "failed", [FAILING_TRACE]),
    ("#source", "vopo.run", ["trc_01J0VIEWERSCRIPTRUN00000003"]),
])
def test_list_filters_by_outcome_and_source(page, control, choice, expected):
    from selenium.webdriver.support.ui import Select

    Select(page.find(control)).select_by_value(choice)
    page.wait.until(lambda driver: page.trace_rows() == expected)


def test_failing_test_to_its_exception_and_back_by_deep_link(page):
    page.find("#filter").send_keys("refund")
    page.wait.until(lambda driver: page.trace_rows() == [FAILING_TRACE])
    page.find(f'tr[data-trace="{FAILING_TRACE}"]').click()

    group = page.find(".group-row")
    assert FAILING_TEST in group.text and "failed" in group.text
    group.find_element("css selector", ".toggle").click()
    page.row_of("test_refund_rejects_negative").find_element("css selector", ".toggle").click()
    refund = page.row_of("refund")
    assert "order=('A1', 2), amount=-5, tags={'vip'}" in refund.text
    assert "raised ValueError('negative amount')" in refund.text

    refund.click()
    assert page.text_of("#detail-exception", "ValueError") == "ValueError('negative amount')"
    assert "order\n('A1', 2)" in page.find("#detail-call-locals").text
    assert "amount\n-5" in page.find("#detail-return-locals").text
    link = page.driver.current_url
    assert "/call/frm_" in link
    path = page.screenshot("failing-call.png")
    if os.environ.get("VOPO_UPDATE_DOCS") == "1":
        shutil.copyfile(path, DOCS_SCREENSHOT)

    page.driver.get(page.served.url)
    page.trace_rows()
    page.driver.get(link)
    assert page.text_of(".row.selected", "refund")
    assert page.text_of("#detail-name", "refund") == "refund"


def test_search_jumps_to_a_call_and_the_time_view_selects_it(page):
    page.find('tr[data-trace="trc_01J0VIEWERSCRIPTRUN00000003"]').click()
    page.find("#search").send_keys("price_of\n")
    page.text_of("#matches", "3 calls")
    assert [" ".join(match.text.split()) for match in page.all("#matches .match")] == [
        f"price_of (item='item{number}') shop.py:20" for number in range(3)]
    assert page.text_of(".row.selected", "price_of")
    blocks = page.all(".block.call")
    assert sorted(block.text for block in blocks) == ["main", "price_of", "price_of", "price_of"]
    blocks[-1].click()
    page.wait.until(lambda driver: "selected" in blocks[-1].get_attribute("class"))
    page.screenshot("time-view.png")


@pytest.mark.parametrize("fragment, shown", [
    ("#/trace/trc_NO_SUCH_TRACE", "#not-found"),
    ("#/nowhere", "#not-found"),
])
def test_unknown_trace_shows_not_found(page, fragment, shown):
    page.driver.get(page.served.url + fragment)
    assert "404" in page.find(shown).text


def test_unreadable_database_is_explained_in_the_page(browser, serve, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    broken = tmp_path / "broken.sqlite3"
    broken.write_bytes(b"not a database, just bytes")
    browser.get(serve(broken).url)
    message = WebDriverWait(browser, WAIT).until(lambda driver: driver.find_elements(By.ID, "store-error"))[0].text
    assert f"{broken} is not an SQLite database" in message
