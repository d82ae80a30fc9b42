"""The dashboard in headless Chromium (selenium): sign in, every page, the graph, verify.

A screenshot of each page is saved under the test's temporary folder (and,
with CORVANTI_SCREENSHOTS=<folder>, there too, for a person to look at).
"""

import hashlib
import os
import pathlib
import shutil

import pandas as pd
import pytest

pytest.importorskip("fastapi")
webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402

from support.corvanti_service import ApiClient  # noqa: E402
from support.openlineage_check import credit_pipeline  # noqa: E402

import corvanti.openlineage as ol  # noqa: E402


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


@pytest.fixture(scope="module")
def browser():
    binary, driver = _chromium(), shutil.which("chromedriver")
    if not binary or not driver:
        pytest.skip("headless Chromium is not installed (.ci/run installs Debian's chromium and chromium-driver)")
    from selenium.webdriver.chrome.service import Service

    opts = webdriver.ChromeOptions()
    opts.binary_location = binary
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1400,1000", "--no-first-run", "--disable-extensions"):
        opts.add_argument(arg)
    drv = webdriver.Chrome(service=Service(driver), options=opts)
    drv.set_page_load_timeout(60)
    try:
        yield drv
    finally:
        drv.quit()


def _follow(browser, element):
    """Click a link or button and wait until the next page has replaced this one.

    The old page is marked with a window property; the new page has none.
    While the page is being swapped, the driver may answer with any error
    (a stale element, or a node that no longer belongs to the document),
    so errors during the wait count as "not yet".
    """
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.support.ui import WebDriverWait

    browser.execute_script("window.__corvantiOldPage = true;")
    element.click()
    WebDriverWait(browser, 30, poll_frequency=0.1, ignored_exceptions=(WebDriverException,)).until(
        lambda b: b.execute_script(
            "return window.__corvantiOldPage === undefined && document.readyState === 'complete';"))


def _submit(browser, element_id):
    _follow(browser, browser.find_element(By.ID, element_id))


def _shot(browser, tmp_path, name):
    path = tmp_path / f"{name}.png"
    assert browser.save_screenshot(str(path))
    assert path.stat().st_size > 5_000
    keep = os.environ.get("CORVANTI_SCREENSHOTS")
    if keep:
        pathlib.Path(keep).mkdir(parents=True, exist_ok=True)
        shutil.copy(path, pathlib.Path(keep) / path.name)
    return path


def _populate(c: ApiClient):
    """A tracked-style pipeline: two sources, a derived column, results with row hashes, a sync."""
    pid = c.pipeline("credit_scoring")
    c.ok("POST", "/v1/store/nodes", {"batch_id": "n1", "nodes": [
        {"fingerprint": 0x10000001, "node_type": "SOURCE", "operation": "applicants.income", "table_name": "applicants",
         "column_name": "income", "pair_id": 1, "is_protected": False, "pipeline_id": pid},
        {"fingerprint": 0x90000002, "node_type": "SOURCE", "operation": "applicants.sex", "table_name": "applicants",
         "column_name": "sex", "pair_id": 2, "is_protected": True, "pipeline_id": pid},
        {"fingerprint": 0x10000003, "node_type": "BINARY", "operation": "truediv", "is_protected": False,
         "pipeline_id": pid, "metadata": {"note": "<script>alert(1)</script>"}},
        {"fingerprint": 0x90000004, "node_type": "UNARY", "operation": "risk_score \"<b>x</b>\"", "is_protected": True,
         "pipeline_id": pid},
    ]})
    c.ok("POST", "/v1/store/edges", {"batch_id": "e1", "pipeline_id": pid, "edges": [
        {"parent_fingerprint": 0x10000001, "child_fingerprint": 0x10000003, "input_position": 0},
        {"parent_fingerprint": 0x10000003, "child_fingerprint": 0x90000004, "input_position": 0},
        {"parent_fingerprint": 0x90000002, "child_fingerprint": 0x90000004, "input_position": 1},
    ]})
    frame = pd.DataFrame({"income": [52_000, 61_000, 23_000], "sex": ["f", "m", "f"]})
    rows = [[f"app-{i}", "risk_score", 0x90000004, 0.1 * (i + 1),
             hashlib.sha256(frame.iloc[i].to_json().encode("utf-8")).hexdigest()] for i in range(3)]
    c.ok("POST", "/v1/store/results", {"batch_id": "r1", "pipeline_id": pid, "results": rows})
    values = [{"pipeline_id": pid, "row_index": i, "fingerprint": 0x10000001, "node_operation": "applicants.income",
               "column_name": "income", "value": float(frame.income[i]), "text_value": None} for i in range(3)]
    values += [{"pipeline_id": pid, "row_index": i, "fingerprint": 0x90000002, "node_operation": "applicants.sex",
                "column_name": "sex", "value": None, "text_value": frame.sex[i]} for i in range(3)]
    c.ok("POST", "/v1/store/row-values", {"batch_id": "v1", "values": values})
    c.ok("PATCH", f"/v1/pipelines/{pid}", {"status": "completed"})
    c.ok("POST", "/v1/dashboard/sync", {
        "pipeline": {"pipeline_name": "credit_scoring", "status": "completed", "node_count": 4, "edge_count": 3,
                     "provenance_pipeline_id": pid},
        "model": {"model_id": "credit_scoring", "name": "credit_scoring", "version": "1.0", "status": "production",
                  "domain": "credit"},
        "fairness": {"model_id": "credit_scoring", "has_disparate_impact": True, "protected_attributes": ["applicants.sex"],
                     "details": {"node_count": 4, "edge_count": 3, "protected_sources": ["applicants.sex"]}},
    })
    return pid


def test_dashboard_pages_in_chromium(sqlite_live, browser, tmp_path):
    c = sqlite_live.client("team-a")
    c.pipeline("<img src=x onerror=alert(1)>")
    pid = _populate(c)
    other = sqlite_live.client("team-b")
    other_pid = other.pipeline("someone_elses")
    base = sqlite_live.url
    tracker, apps, _, score = credit_pipeline()
    ol.emit(tracker.openlineage_events("corvanti://credit", job_name="credit_scoring",
                                       outputs={"features": apps, "scores": {"score": score}}), base, c.key)
    ol.emit(tracker.openlineage_events("corvanti://credit", job_name="<b>nightly</b>", run_id=ol.new_run_id()),
            base, c.key)

    browser.delete_all_cookies()
    browser.get(base + "/dashboard/")
    assert browser.current_url.endswith("/dashboard/login")
    browser.find_element(By.ID, "key").send_keys("cvk_wrong")
    _submit(browser, "login-submit")
    assert "unknown API key" in browser.find_element(By.ID, "login-error").text
    browser.find_element(By.ID, "key").send_keys(c.key)
    _submit(browser, "login-submit")

    assert browser.current_url.endswith("/dashboard/")
    assert "team-a" in browser.find_element(By.ID, "tenant").text
    cells = [td.text for td in browser.find_elements(By.CSS_SELECTOR, "#pipelines tbody tr:first-child td")]
    assert cells[:4] == ["credit_scoring", "completed", "4", "3"] and cells[4].endswith("Z") and cells[5].endswith("Z")
    assert "someone_elses" not in browser.page_source
    assert "<img src=x onerror=alert(1)>" in browser.find_element(By.ID, "pipelines").text   # text, not markup
    assert not browser.find_elements(By.CSS_SELECTOR, "#pipelines img")
    _shot(browser, tmp_path, "pipelines")

    _follow(browser, browser.find_element(By.LINK_TEXT, "Models"))
    assert [td.text for td in browser.find_elements(By.CSS_SELECTOR, "#models tbody td")][:5] == [
        "credit_scoring", "credit_scoring", "1.0", "production", "credit"]
    _follow(browser, browser.find_element(By.LINK_TEXT, "Fairness"))
    row = browser.find_element(By.CSS_SELECTOR, "#fairness tbody tr")
    assert "disparate impact" in row.text and "applicants.sex" in row.text
    _shot(browser, tmp_path, "fairness")

    _follow(browser, browser.find_element(By.LINK_TEXT, "credit_scoring"))
    assert browser.find_element(By.ID, "node-count").text == "4"
    svg = browser.find_element(By.CSS_SELECTOR, "#graph svg")
    assert len(svg.find_elements(By.CSS_SELECTOR, "g.node")) == 4
    assert len(svg.find_elements(By.CSS_SELECTOR, "g.edge")) == 3
    assert "applicants.sex" in svg.text and 'risk_score "<b>x</b>"' in svg.text  # shown as text, not markup
    assert not browser.find_elements(By.CSS_SELECTOR, "#graph b")
    result_rows = browser.find_elements(By.CSS_SELECTOR, "#results tbody tr")
    assert [r.find_element(By.TAG_NAME, "td").text for r in result_rows] == ["app-0", "app-1", "app-2"]
    _shot(browser, tmp_path, "pipeline")
    events = browser.find_elements(By.CSS_SELECTOR, "#openlineage-events tbody tr")
    assert [r.find_element(By.TAG_NAME, "td").text for r in events] == ["START", "COMPLETE"]
    lineage = events[1].find_element(By.CSS_SELECTOR, "ul.column-lineage").text
    assert "features.dti ← applicants.debt TRANSFORMATION, applicants.income TRANSFORMATION" in lineage
    assert "features.income ← applicants.income IDENTITY" in lineage
    _follow(browser, browser.find_element(By.LINK_TEXT, "OpenLineage"))
    unlinked = browser.find_elements(By.CSS_SELECTOR, "#unlinked-events tbody tr")
    assert len(unlinked) == 2 and all("<b>nightly</b>" in r.text for r in unlinked)
    assert not browser.find_elements(By.CSS_SELECTOR, "#unlinked-events b")
    _shot(browser, tmp_path, "openlineage")
    browser.back()

    _follow(browser, result_rows[1].find_element(By.LINK_TEXT, "verify"))
    box = browser.find_element(By.ID, "row")
    assert '"income": 61000' in box.get_attribute("value") and '"sex": "m"' in box.get_attribute("value")
    _submit(browser, "verify-submit")
    assert browser.find_element(By.ID, "verdict").get_attribute("data-verdict") == "intact"
    box = browser.find_element(By.ID, "row")
    box.clear()
    box.send_keys('{"income": 99000, "sex": "m"}')
    _submit(browser, "verify-submit")
    assert browser.find_element(By.ID, "verdict").get_attribute("data-verdict") == "tampered"
    _shot(browser, tmp_path, "verify")
    box = browser.find_element(By.ID, "row")
    box.clear()
    box.send_keys("[not json")
    _submit(browser, "verify-submit")
    assert "Cannot read the row" in browser.find_element(By.ID, "verdict").text

    browser.get(f"{base}/dashboard/pipelines/{other_pid}")
    assert "another tenant" in browser.find_element(By.CSS_SELECTOR, "main .error").text
    _follow(browser, browser.find_element(By.CSS_SELECTOR, "form.logout button"))
    assert browser.current_url.endswith("/dashboard/login")
    browser.get(f"{base}/dashboard/pipelines/{pid}")
    assert browser.current_url.endswith("/dashboard/login")


def test_dashboard_needs_no_external_resource(sqlite_live):
    c = sqlite_live.client()
    _populate(c)
    anon = ApiClient(sqlite_live.url)
    css = anon.get("/static/dashboard.css")
    assert css.status == 200 and css.headers["content-type"].startswith("text/css")
    login = anon.get("/dashboard/login")
    assert login.status == 200 and "http://" not in login.text and "https://" not in login.text
    assert "default-src 'self'" in login.headers["content-security-policy"]
