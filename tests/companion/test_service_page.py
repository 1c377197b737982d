"""The example service's page and the shipped collector in a real headless Chromium
(Debian's chromium and chromedriver, never a downloaded driver): real pointer moves,
typing and emulated touches go in, the page fetches a challenge, solves its proof of
work in a worker and posts the visit, and the features the service recorded show
what was driven, and only that."""

import json
import os
import shutil

import pytest
from store_servers import child_environment

from veltrix import challenges, collector

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
TOUCH_RADIUS = 11.0
TOUCH_FORCE = 0.5
TOUCH_MOVES = 30
COUNT_POINTER_MOVES = "window.movesSeen = 0; addEventListener('pointermove', () => movesSeen++);"
# A second collector on absolute URLs, sending once; resolves to its status and answer, or the error.
SEND_TO = """
const [base, done] = arguments;
const other = VeltrixCollector.start({ challengeUrl: base + "/challenge", scoreUrl: base + "/score" });
other.send().then(({ status, answer }) => done({ status, answer }), (error) => done({ error: String(error) }));
"""


@pytest.fixture
def browser():
    if not (os.access(CHROMEDRIVER, os.X_OK) and os.path.exists(CHROMIUM)):
        pytest.skip("Debian's chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=child_environment()), options=options)
    driver.set_script_timeout(PAGE_SECONDS)
    yield driver
    driver.quit()


def send_and_read(browser, example_service) -> dict:
    """Press the page's send button (by script, so that no pointer move of a click bends
    the line) and return what the service recorded of the visit."""
    browser.execute_script("document.getElementById('send').click()")
    WebDriverWait(browser, PAGE_SECONDS).until(lambda b: b.find_element(By.ID, "result").text.strip())
    status = browser.find_element(By.ID, "status").text
    answer = json.loads(browser.find_element(By.ID, "result").text)
    assert status == f"verdict: {answer['verdict']}", answer
    assert set(answer) == {"verdict", "visit"}  # no features reach the page
    return example_service.visit(answer["visit"])["features"]


def test_pointer_moves_and_typing_reach_the_features_and_no_touch_does(browser, example_service):
    browser.get(example_service.url + "/")
    browser.execute_script(COUNT_POINTER_MOVES)
    moves = ActionChains(browser, duration=10)
    for _ in range(STEPS):
        moves.move_by_offset(*STEP)
    moves.perform()
    browser.find_element(By.ID, "typing").send_keys(TYPED)
    features = send_and_read(browser, example_service)
    assert features["mouse_points"] == browser.execute_script("return movesSeen") >= STEPS  # one stream, no repeats
    assert features["straightness"] > 0.99
    assert features["total_distance"] == pytest.approx(STEPS * (STEP[0] ** 2 + STEP[1] ** 2) ** 0.5, rel=0.05)
    assert features["key_count"] == len(TYPED)
    assert features["avg_dwell_time"] > 0
    assert features["touch_event_count"] == 0 and features["avg_touch_radius"] == 0.0
    # The browser's own report, as it is: headless Chromium admits to automation.
    assert features["webdriver"] is True
    assert features["screen_width"] == browser.execute_script("return screen.width")


def touch(browser, kind: str, points) -> None:
    touch_points = [
        {"x": x, "y": y, "radiusX": TOUCH_RADIUS, "radiusY": TOUCH_RADIUS, "force": TOUCH_FORCE, "id": 0}
        for x, y in points
    ]
    browser.execute_cdp_cmd("Input.dispatchTouchEvent", {"type": kind, "touchPoints": touch_points})


def test_touches_reach_the_features_with_their_radius_and_force_and_no_keys_do(browser, example_service):
    browser.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 5})
    browser.get(example_service.url + "/")
    browser.execute_script(COUNT_POINTER_MOVES)
    pad = browser.find_element(By.ID, "pad").rect
    start = (pad["x"] + 20, pad["y"] + 30)
    path = [(start[0] + 7 * i, start[1] + 2 * i + (i % 5)) for i in range(1, TOUCH_MOVES + 1)]
    touch(browser, "touchStart", [start])
    for point in path:
        touch(browser, "touchMove", [point])
    touch(browser, "touchEnd", [])
    features = send_and_read(browser, example_service)
    touch_moves = browser.execute_script("return movesSeen")
    assert touch_moves >= TOUCH_MOVES // 2
    assert features["touch_event_count"] == features["mouse_points"] == touch_moves
    assert features["avg_touch_radius"] == pytest.approx(TOUCH_RADIUS)
    assert features["touch_radius_var"] == pytest.approx(0.0, abs=1e-9)
    assert features["avg_touch_force"] == pytest.approx(TOUCH_FORCE)
    assert features["touch_supported"] is True and features["max_touch_points"] == 5
    assert features["key_count"] == 0


# A password field on the page, or inside a web component: an open shadow root shows the
# field to the collector's listeners, a closed one shows them only its host.
PASSWORD_FIELDS = {
    "on the page": "document.body.append(field);",
    "in an open shadow root": "host.attachShadow({ mode: 'open' }).append(field); document.body.append(host);",
    "in a closed shadow root": "host.attachShadow({ mode: 'closed' }).append(field); document.body.append(host);",
}


@pytest.mark.parametrize("placement", PASSWORD_FIELDS, ids=list(PASSWORD_FIELDS))
def test_password_fields_give_timing_without_keys(browser, example_service, placement):
    browser.get(example_service.url + "/")
    browser.execute_script(
        "const field = document.createElement('input'); field.type = 'password';"
        "const host = document.createElement('login-box');"
        f"{PASSWORD_FIELDS[placement]} window.secretField = field;"
    )
    browser.execute_script("secretField.focus()")
    ActionChains(browser).send_keys("s3cret").perform()
    browser.find_element(By.ID, "typing").send_keys("ok")
    keystrokes = browser.execute_script("return collector.peek().keystrokes")
    assert [stroke.get("key") for stroke in keystrokes] == [None] * 6 + ["o", "k"]
    assert all(stroke["up"] >= stroke["t"] for stroke in keystrokes)


def test_the_collector_keeps_its_bounds(browser, example_service):
    browser.get(example_service.url + "/")
    limits = browser.execute_script("return VeltrixCollector.LIMITS")
    assert limits["bodyBytes"] == collector.MAX_BODY_BYTES
    assert browser.execute_script("return VeltrixCollector.MAX_DIFFICULTY") == challenges.MAX_DIFFICULTY
    recorded = browser.execute_script(
        "for (let i = 0; i < 3 * VeltrixCollector.LIMITS.pointerSamples; i++)"
        "  dispatchEvent(new PointerEvent('pointermove', { clientX: i, clientY: 1 }));"
        "for (let i = 0; i < 400; i++) { dispatchEvent(new KeyboardEvent('keydown', { key: 'a', code: 'KeyA' }));"
        "  dispatchEvent(new KeyboardEvent('keyup', { key: 'a', code: 'KeyA' })); }"
        "const visit = collector.peek();"
        "return [visit.mouse_movements.length, visit.mouse_movements[0].x, visit.keystrokes.length];"
    )
    assert recorded == [limits["pointerSamples"], 0, limits["keystrokes"]]
    # Samples as long as JSON numbers get: the body is cut to its bound, the earliest samples kept.
    body = browser.execute_script(
        "const visit = { browser: {}, mouse_movements: [], keystrokes: [], clicks: [], scrolls: [] };"
        "for (let i = 0; i < 4000; i++) visit.mouse_movements.push("
        "  { x: i + 0.123456789012345, y: -1234.567890123456, t: 123456.78901234567, r: 11.123456789, f: 0.5 });"
        "return VeltrixCollector.serializeVisit(visit);"
    )
    assert 0.99 * collector.MAX_BODY_BYTES < len(body.encode()) <= collector.MAX_BODY_BYTES
    samples = json.loads(body)["mouse_movements"]
    assert [sample["x"] for sample in samples] == [i + 0.123456789012345 for i in range(len(samples))]


@pytest.mark.parametrize(
    ("script", "error"),
    [
        ("VeltrixCollector.solveProofOfWork(arguments[0], 32, { timeoutMs: 300 })", "no proof of work found in 300 ms"),
        ("VeltrixCollector.start({ challengeUrl: '/score' }).send()", "challenge refused (405)"),
        ("VeltrixCollector.start({ challengeUrl: '/challenge?x', scoreUrl: '/nowhere' }).send()", None),
    ],
    ids=["work not done in time", "no challenge", "no score endpoint"],
)
def test_sending_fails_with_its_cause(browser, example_service, script, error):
    browser.get(example_service.url + "/")
    outcome = browser.execute_async_script(
        f"const done = arguments[arguments.length - 1]; ({script})"
        ".then((result) => done({ result }), (error) => done({ error: error.message }));",
        "v1." + "A" * 104,
    )
    if error is None:  # the post itself was refused: send() resolves with the status
        assert outcome["result"]["status"] == 404 and outcome["result"]["ok"] is False
    else:
        assert outcome == {"error": error}


@pytest.mark.parametrize("from_other_origin", [True, False], ids=["allowed origin", "origin not allowed"])
def test_a_page_on_another_origin_sends_only_when_the_service_allows_it(browser, example_service, from_other_origin):
    if from_other_origin:  # the service allows its pages at localhost
        page, target = example_service.other_origin, example_service.url
    else:
        page, target = example_service.url, example_service.other_origin
    browser.get(page + "/")
    result = browser.execute_async_script(SEND_TO, target)
    if from_other_origin:
        assert result["status"] == 200 and set(result["answer"]) == {"verdict", "visit"}
    else:
        assert "Failed to fetch" in result["error"]


def test_the_installed_script_is_whole_and_can_be_inlined():
    text = collector.script_text()
    assert collector.script_path().is_file() and "VeltrixCollector" in text
    assert "</script" not in text.lower()  # an inline copy would end at it
