"""The example service's page in a real headless Chromium (Debian's chromium
and chromedriver, never a downloaded driver): scripted pointer moves and typing
go in, and the features that come back show them."""

import json
import os
import shutil

import pytest
from store_servers import child_environment

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
PAGE_SECONDS = 30
# A straight line from the viewport's origin, where the pointer starts, in whole-pixel steps.
STEP = (4, 2)
STEPS = 60
TYPED = "hello veltrix"


@pytest.fixture
def browser():
    if not (os.access(CHROMEDRIVER, os.X_OK) and os.path.exists(CHROMIUM)):
        pytest.skip("Debian's chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=child_environment()), options=options)
    yield driver
    driver.quit()


def test_page_posts_what_the_visitor_did_and_shows_the_features(browser, example_service):
    browser.get(example_service.url + "/")
    browser.execute_script("window.movesSeen = 0; addEventListener('pointermove', () => movesSeen++);")
    moves = ActionChains(browser, duration=10)
    for _ in range(STEPS):
        moves.move_by_offset(*STEP)
    moves.perform()
    browser.find_element(By.ID, "typing").send_keys(TYPED)
    # Sent by a script, so that no pointer move of a click bends the line.
    browser.execute_script("document.getElementById('send').click()")
    WebDriverWait(browser, PAGE_SECONDS).until(lambda b: b.find_element(By.ID, "features").text.strip())
    assert browser.find_element(By.ID, "status").text == "features of your visit:"
    features = json.loads(browser.find_element(By.ID, "features").text)
    assert features["mouse_points"] == browser.execute_script("return movesSeen") >= STEPS  # one stream, no repeats
    assert features["straightness"] > 0.99
    assert features["total_distance"] == pytest.approx(STEPS * (STEP[0] ** 2 + STEP[1] ** 2) ** 0.5, rel=0.05)
    assert features["key_count"] == len(TYPED)
    assert features["avg_dwell_time"] > 0
    # The browser's own report, as it is: headless Chromium admits to automation.
    assert features["webdriver"] is True
    assert features["screen_width"] == browser.execute_script("return screen.width")
