"""The simulator's web view in headless Chromium, with a station that reaches
the simulator through the listener.

Run by CTest with DEZOZEVO_LIBRARY and DEZOZEVO_SIM set."""
import shutil
import tempfile

import pytest

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    pytest.skip("chromium and chromedriver are not installed (./dz setup installs them)", allow_module_level=True)
webdriver = pytest.importorskip("selenium.webdriver", reason="python3-selenium is not installed (./dz setup)")
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

from dezozevo import plant as dzplant  # noqa: E402


@pytest.fixture
def lab(tmp_path):
    """A sample plant served with the web view: (plant, listener port, page URL)."""
    plant = dzplant.Plant(tmp_path / "plant.db", generation=10)
    server = dzplant.MesServer(plant, web=True)
    try:
        yield plant, server.port, server.web_url
    finally:
        server.stop()


@pytest.fixture
def browser():
    profile = tempfile.mkdtemp(prefix="dz-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1400,1000"):
        options.add_argument(flag)
    from selenium.webdriver.chrome.service import Service
    driver = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def rows(driver, table):
    """The text of each row of a table (read at once: the page redraws them)."""
    return driver.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0]), (r) => r.innerText)", f"#{table} tbody tr")


def wait_for(driver, seconds, what, check):
    return WebDriverWait(driver, seconds, poll_frequency=0.05, ignored_exceptions=[StaleElementReferenceException]
                         ).until(lambda d: check(d), message=what)


def test_units_results_faults_and_journal_in_the_browser(lab, browser, tmp_path):
    plant, port, url = lab
    browser.get(url)
    # The sample plant's units, with where each waits.
    wait_for(browser, 10, "the sample's units",
             lambda d: any("SN24001-0003" in r and "FCT-01" in r for r in rows(d, "units")))

    # A station stores a result through the listener: it shows within 2 s.
    home = dzplant.StationHome(tmp_path / "station", server=f"127.0.0.1,{port}", station="FCT-01")
    with home.tester() as station:
        assert station.SaveResult(home.sample_result) == 0
        test_id = station.state.test_id
        wait_for(browser, 2, "the uploaded result", lambda d: d.find_elements(
            By.CSS_SELECTOR, f"#results tr[data-test-id='{test_id}']"))

        # A fault added in the page: the station's next route check answers 5.
        form = browser.find_element(By.ID, "fault-form")
        Select(form.find_element(By.NAME, "action")).select_by_value("fail")
        for name, value in {"procedure": "uspCheckRouting", "station": "FCT-01", "next": "1", "status": "5"}.items():
            form.find_element(By.NAME, name).send_keys(value)
        form.find_element(By.ID, "add-fault").click()
        wait_for(browser, 5, "the schedule in the list", lambda d: rows(d, "faults"))
        assert [f["procedure"] for f in plant_faults(plant)] == ["uspCheckRouting"]
        assert station.CheckRoute("SN24001-0003", "FCT-01") == 5

    # The journal shows that call with its status, live.
    wait_for(browser, 5, "the failed call in the journal", lambda d: d.find_elements(
        By.CSS_SELECTOR, "#journal tr[data-procedure='uspCheckRouting'][data-status='5']"))
    wait_for(browser, 5, "the station's calls", lambda d: any(r.startswith("FCT-01") for r in rows(d, "stations")))

    # Clearing in the page removes the schedule (the list redraws live: a button gone stale is found again).
    wait_for(browser, 5, "the clear button",
             lambda d: d.find_element(By.CSS_SELECTOR, "#faults button[data-clear]").click() or True)
    wait_for(browser, 5, "the cleared schedule", lambda d: not rows(d, "faults"))
    assert plant_faults(plant) == []


def plant_faults(plant):
    return dzplant._sim("fault", "list", plant.path)
