/* veltrix collector: records one visit's telemetry in the format veltrix reads, fetches a
 * challenge right before sending, solves its proof of work in a Web Worker, and posts the
 * visit with the challenge headers. No dependencies: serve it as a static file (or inline it:
 * it holds no closing script tag), then, in the page:
 *
 *   const collector = VeltrixCollector.start({ challengeUrl: "/challenge", scoreUrl: "/score" });
 *   button.onclick = async () => { const { status, ok, answer } = await collector.send(); };
 *
 * Options of start(): challengeUrl, scoreUrl (any URL: cross-origin needs the service's CORS
 * headers), credentials (fetch's mode, "same-origin" by default), target (where events are
 * listened to, window by default), proofTimeoutMs (how long a proof of work may take).
 */
(function (root) {
  "use strict";

  // What one visit keeps. The pointer stream keeps its earliest samples, as the feature
  // reader analyses the earliest ones; only the first 150 keystrokes are read, and only the
  // lengths of clicks and scrolls count. A body is never longer than bodyBytes (UTF-8).
  const LIMITS = Object.freeze({
    pointerSamples: 1000,
    keystrokes: 150,
    clicks: 100,
    scrolls: 200,
    bodyBytes: 131072,
  });
  // The issuer's highest difficulty (veltrix.challenges.MAX_DIFFICULTY): a challenge asking
  // for more is refused at once rather than worked on until the timeout.
  const MAX_DIFFICULTY = 32;
  const MAX_TOKEN_LENGTH = 4096;
  const TOKEN_FORM = /^[A-Za-z0-9_.~-]+$/;
  // Digests in flight at once in the worker: crypto.subtle answers each by a promise.
  const DIGESTS_PER_BATCH = 64;

  function browserReport() {
    const touchPoints = navigator.maxTouchPoints || 0;
    return {
      webdriver: navigator.webdriver === true,
      screen_width: screen.width,
      screen_height: screen.height,
      touch_supported: "ontouchstart" in root || touchPoints > 0,
      max_touch_points: touchPoints,
      plugins_length: navigator.plugins ? navigator.plugins.length : 0,
    };
  }

  function emptyVisit() {
    return { browser: browserReport(), mouse_movements: [], keystrokes: [], clicks: [], scrolls: [] };
  }

  // Whether a keystroke's key may be recorded: only where the collector sees what receives it,
  // a text field other than a password field, or the page itself. Any other element may host a
  // closed shadow root, whose events reach the page retargeted to the host: the field inside,
  // a password field for all the collector can tell, stays hidden.
  function keyIsVisible(event) {
    const element = event.composedPath()[0];  // inside open shadow roots too, not their host
    if (element instanceof HTMLInputElement) return element.type !== "password";
    if (element instanceof HTMLTextAreaElement) return true;
    if (element instanceof HTMLElement && element.isContentEditable) return true;
    return element === document.body || element === document.documentElement || element === document;
  }

  function start(options) {
    const settings = Object.assign(
      { challengeUrl: "/challenge", scoreUrl: "/score", credentials: "same-origin", target: root,
        proofTimeoutMs: 60000 },
      options || {});
    let visit = emptyVisit();
    const pendingKeys = new Map();  // physical key -> its keystroke record, until it comes up

    // One pointer stream: pointermove covers mouse, pen and touch. Chromium repeats each
    // pointermove as a mousemove with the same time stamp and whole-pixel coordinates, so
    // recording both would feed duplicate samples and sub-pixel steps into the kinematics.
    function onPointerMove(event) {
      if (visit.mouse_movements.length >= LIMITS.pointerSamples) return;
      const sample = { x: event.clientX, y: event.clientY, t: performance.now() };
      if (event.pointerType === "touch") {  // contact radius and force come only from touches
        sample.r = Math.max(event.width, event.height) / 2;
        sample.f = event.pressure;
      }
      visit.mouse_movements.push(sample);
    }
    function onKeyDown(event) {
      if (event.repeat || visit.keystrokes.length >= LIMITS.keystrokes) return;
      const record = { t: performance.now() };
      // Timing only from password fields and from what hides its field: what was typed there
      // never leaves the page.
      if (keyIsVisible(event)) record.key = event.key;
      visit.keystrokes.push(record);
      // By physical key: with Shift let go first, "A" goes down and "a" comes up.
      pendingKeys.set(event.code || event.key, record);
    }
    function onKeyUp(event) {
      const id = event.code || event.key;
      const record = pendingKeys.get(id);
      if (record) {
        record.up = performance.now();
        pendingKeys.delete(id);
      }
    }
    function onClick(event) {
      if (visit.clicks.length >= LIMITS.clicks) return;
      visit.clicks.push({ x: event.clientX, y: event.clientY, t: performance.now() });
    }
    function onScroll(event) {
      if (visit.scrolls.length >= LIMITS.scrolls) return;
      const element = event.target instanceof Element ? event.target : null;
      const x = element ? element.scrollLeft : root.scrollX;
      const y = element ? element.scrollTop : root.scrollY;
      visit.scrolls.push({ x, y, t: performance.now() });
    }

    // Captured, so that a page's own stopPropagation hides nothing (element scrolls do not bubble).
    const listeners = [["pointermove", onPointerMove], ["keydown", onKeyDown], ["keyup", onKeyUp],
                       ["click", onClick], ["scroll", onScroll]];
    for (const [type, listener] of listeners) {
      settings.target.addEventListener(type, listener, { capture: true, passive: true });
    }

    function takeVisit() {
      const taken = visit;
      visit = emptyVisit();
      pendingKeys.clear();
      return taken;
    }

    async function fetchChallenge() {
      const response = await fetch(settings.challengeUrl, { credentials: settings.credentials, cache: "no-store" });
      if (!response.ok) throw new Error(`challenge refused (${response.status})`);
      const challenge = await response.json();
      const { token, difficulty } = challenge || {};
      if (typeof token !== "string" || token.length > MAX_TOKEN_LENGTH || !TOKEN_FORM.test(token) ||
          !Number.isInteger(difficulty) || difficulty < 0 || difficulty > MAX_DIFFICULTY) {
        throw new Error("the challenge is not a token and a difficulty");
      }
      return { token, difficulty };
    }

    // The visit is taken when sending starts: each is sent once, and recording goes on meanwhile.
    async function send() {
      const body = serializeVisit(takeVisit());
      const challenge = await fetchChallenge();
      const headers = { "Content-Type": "application/json", "X-Veltrix-Challenge": challenge.token };
      if (challenge.difficulty > 0) {
        headers["X-Veltrix-Proof"] = await solveProofOfWork(challenge.token, challenge.difficulty,
                                                            { timeoutMs: settings.proofTimeoutMs });
      }
      const response = await fetch(settings.scoreUrl,
                                   { method: "POST", body, headers, credentials: settings.credentials });
      let answer = null;
      try {
        answer = await response.json();
      } catch (notJson) {
        // a proxy's error page, for instance: the status says enough
      }
      return { status: response.status, ok: response.ok, answer };
    }

    function stop() {
      for (const [type, listener] of listeners) settings.target.removeEventListener(type, listener, { capture: true });
    }

    return Object.freeze({ send, stop, takeVisit, peek: () => visit });
  }

  function utf8Length(text) {
    return new TextEncoder().encode(text).length;
  }

  // JSON of the visit within LIMITS.bodyBytes: the latest items go, pointer samples first, then
  // scrolls, clicks and keystrokes; the earliest stay.
  function serializeVisit(visit) {
    let body = JSON.stringify(visit);
    let size = utf8Length(body);
    for (const list of [visit.mouse_movements, visit.scrolls, visit.clicks, visit.keystrokes]) {
      while (size > LIMITS.bodyBytes && list.length > 0) {
        const itemBytes = utf8Length(JSON.stringify(list)) / list.length;
        list.length -= Math.min(list.length, Math.ceil((size - LIMITS.bodyBytes) / itemBytes));
        body = JSON.stringify(visit);
        size = utf8Length(body);
      }
    }
    return body;
  }

  // The worker's whole source, started from a Blob: counters in order from 0, each hashed as
  // SHA-256(token + ":" + counter), until a digest has the leading zero bits asked for.
  function proofWorker() {
    function hasLeadingZeroBits(digest, bits) {
      const bytes = new Uint8Array(digest);
      const whole = bits >> 3;
      for (let i = 0; i < whole; i++) if (bytes[i] !== 0) return false;
      const rest = bits & 7;
      return rest === 0 || (bytes[whole] >> (8 - rest)) === 0;
    }
    self.onmessage = async (message) => {
      const { token, difficulty, batch } = message.data;
      const encoder = new TextEncoder();
      try {
        for (let first = 0; ; first += batch) {
          const pending = [];
          for (let counter = first; counter < first + batch; counter++) {
            pending.push(crypto.subtle.digest("SHA-256", encoder.encode(token + ":" + counter)));
          }
          const digests = await Promise.all(pending);
          const found = digests.findIndex((digest) => hasLeadingZeroBits(digest, difficulty));
          if (found >= 0) {
            self.postMessage({ counter: String(first + found) });
            return;
          }
        }
      } catch (error) {
        self.postMessage({ error: String(error) });
      }
    };
  }

  // The counter (a decimal string) that proves the work for token, found off the main thread.
  function solveProofOfWork(token, difficulty, options) {
    const timeoutMs = (options && options.timeoutMs) || 60000;
    if (!(root.crypto && root.crypto.subtle)) {
      return Promise.reject(new Error("proof of work needs crypto.subtle: serve the page over HTTPS (or localhost)"));
    }
    if (typeof Worker === "undefined") return Promise.reject(new Error("proof of work needs Web Workers"));
    return new Promise((resolve, reject) => {
      const url = URL.createObjectURL(new Blob([`(${proofWorker})()`], { type: "text/javascript" }));
      let worker;
      try {
        // A page whose Content-Security-Policy forbids blob: workers refuses this (worker-src blob:).
        worker = new Worker(url);
      } catch (error) {
        URL.revokeObjectURL(url);
        reject(error);
        return;
      }
      const timer = setTimeout(() => finish(null, new Error(`no proof of work found in ${timeoutMs} ms`)), timeoutMs);
      function finish(counter, error) {
        clearTimeout(timer);
        worker.terminate();
        URL.revokeObjectURL(url);
        if (error) reject(error);
        else resolve(counter);
      }
      worker.onmessage = (message) => {
        if (message.data.error) finish(null, new Error(message.data.error));
        else finish(message.data.counter, null);
      };
      worker.onerror = (event) => {
        event.preventDefault();
        finish(null, new Error(event.message || "the proof-of-work worker failed"));
      };
      worker.postMessage({ token, difficulty, batch: DIGESTS_PER_BATCH });
    });
  }

  root.VeltrixCollector = Object.freeze({ start, solveProofOfWork, serializeVisit, LIMITS, MAX_DIFFICULTY });
})(typeof window !== "undefined" ? window : self);
