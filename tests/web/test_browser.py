"""The pages in headless Chromium (Debian's chromium and chromium-driver, which
scripts/test installs as root): every report renders, and an analyst's round trip of
grouping, filtering, sorting and downloading works. Screenshots of each page go to
$REPORTS_WEB_SCREENSHOTS, or to pytest's temporary folder."""

from __future__ import annotations

import os
import shutil
import urllib.request
from pathlib import Path

import pytest

from reports.cli import REPORTS

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DRIVER), reason="chromium and chromium-driver are not installed"
)


def _wait(driver, condition, what: str):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, 60).until(condition, f"waited for {what}")


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    downloads = tmp_path_factory.mktemp("downloads")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for (
        argument
    ) in "--headless=new --no-sandbox --disable-dev-shm-usage --window-size=1400,900".split():
        options.add_argument(argument)
    options.add_experimental_option(
        "prefs",
        {"download.default_directory": str(downloads), "download.prompt_for_download": False},
    )
    # Chromium leaves its profile lock folder in TMPDIR: keep it among the test's files.
    scratch = {**os.environ, "TMPDIR": str(tmp_path_factory.mktemp("chromium"))}
    driver = webdriver.Chrome(service=Service(DRIVER, env=scratch), options=options)
    driver.downloads = downloads
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture(scope="module")
def screenshots(tmp_path_factory) -> Path:
    folder = Path(os.environ.get("REPORTS_WEB_SCREENSHOTS") or tmp_path_factory.mktemp("shots"))
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def _load(browser, url: str):
    from selenium.webdriver.common.by import By

    browser.get(url)
    return _wait(
        browser,
        lambda d: d.find_elements(By.ID, "result") or d.find_elements(By.ID, "error"),
        "a result table or an error",
    )


@pytest.mark.parametrize("name", list(REPORTS))
def test_report_page_renders(browser, live_server, screenshots, name):
    from selenium.webdriver.common.by import By

    dates = "?period=90" if REPORTS[name].dates else ""
    found = _load(browser, f"{live_server}/report/{name}{dates}")
    assert found[0].get_attribute("id") == "result", found[0].text
    rows = browser.find_elements(By.CSS_SELECTOR, "#result tbody tr")
    assert rows and browser.find_element(By.ID, "row-count").text.startswith(f"{len(rows)} row")
    browser.save_screenshot(str(screenshots / f"{name}.png"))
    # The chart loads when it is opened.
    browser.find_element(By.CSS_SELECTOR, "#chart summary").click()
    image = browser.find_element(By.CSS_SELECTOR, "#chart img")
    _wait(browser, lambda d: image.get_property("naturalWidth") > 0, "the chart")
    browser.execute_script("arguments[0].scrollIntoView()", image)
    browser.save_screenshot(str(screenshots / f"{name}-chart.png"))


def _column(browser, name: str) -> list[str]:
    from selenium.webdriver.common.by import By

    headers = [th.text for th in browser.find_elements(By.CSS_SELECTOR, "#result thead th")]
    index = headers.index(name) + 1
    return [
        td.text
        for td in browser.find_elements(By.CSS_SELECTOR, f"#result tbody td:nth-child({index})")
    ]


def test_group_filter_sort_and_download(browser, live_server):
    from selenium.webdriver.common.by import By

    _load(browser, f"{live_server}/report/affid?period=90")
    browser.find_element(By.CSS_SELECTOR, "button.chip[data-add='crm_id']").click()
    assert browser.find_element(By.ID, "group_by").get_attribute("value") == "affid,crm_id"
    browser.find_element(By.NAME, "f.card_type").send_keys("Visa")
    browser.find_element(By.ID, "run").click()
    _wait(browser, lambda d: "group_by=affid%2Ccrm_id" in d.current_url, "the submitted form")
    _load(browser, browser.current_url)

    headers = [th.text for th in browser.find_elements(By.CSS_SELECTOR, "#result thead th")]
    assert headers[:3] == ["affid", "crm_id", "initials"]
    rows = browser.find_elements(By.CSS_SELECTOR, "#result tbody tr")
    assert len(rows) > 3 and browser.find_element(By.ID, "row-count").text == f"{len(rows)} rows"
    # Colored cells show their color.
    colored = browser.find_elements(By.CSS_SELECTOR, "#result td[data-color]")
    assert colored
    backgrounds = {cell.value_of_css_property("background-color") for cell in colored}
    assert backgrounds and not backgrounds & {"rgba(0, 0, 0, 0)", "rgb(255, 255, 255)"}

    sort = browser.find_element(By.CSS_SELECTOR, "#result thead th:nth-child(3) button")
    sort.click()
    ascending = [int(text.replace(",", "")) for text in _column(browser, "initials")]
    assert ascending == sorted(ascending)
    sort.click()
    descending = [int(text.replace(",", "")) for text in _column(browser, "initials")]
    assert descending == sorted(ascending, reverse=True)

    link = browser.find_element(By.ID, "csv")
    expected = urllib.request.urlopen(link.get_attribute("href"), timeout=60).read()
    link.click()
    files = _wait(
        browser,
        lambda d: [p for p in d.downloads.glob("affid*.csv") if p.stat().st_size],
        "the CSV download",
    )
    assert files[0].read_bytes() == expected
    assert expected.decode().splitlines()[0].startswith("affid,crm_id,initials,")
