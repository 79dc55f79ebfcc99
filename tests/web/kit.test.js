// The browser kit's pure rules, run by node's own test runner: how an answer
// of the host is classified, which origins may read, who hears what of a
// watch; and the page library against a stand-in window.
import assert from "node:assert/strict";
import test from "node:test";

import { classifyAnswer, classifyDisconnect, classifyWatchMessage } from "../../web/extension/classify.js";
import { allowableOrigin, mayRead, originList } from "../../web/extension/origins.js";
import { Backoff, Presentations } from "../../web/extension/watching.js";
import { readCard, watchCards } from "../../web/vellicor.js";

const NO_CARD = "请将卡放在感应区";
const NO_READER = "机器没连上，或驱动程序未安装!";
// What both browsers make of the program's GBK bytes for these texts: they
// decode them as UTF-8, into U+FFFD and other characters alike.
const asBrowsersDecode = (hex) => new TextDecoder().decode(Buffer.from(hex.replace(/ /g, ""), "hex"));
const NO_CARD_SEEN = asBrowsersDecode("c7eb bdab bfa8 b7c5 d4da b8d0 d3a6 c7f8");
const NO_READER_SEEN = asBrowsersDecode("bbfa c6f7 c3bb c1ac c9cf a3ac bbf2 c7fd b6af b3cc d0f2 ceb4 b0b2 d7b0 21");

test("answers of the host", () => {
    for (const [cardno, expected] of [
        ["12345", { status: "card", cardno: "12345" }],
        ["-1", { status: "card", cardno: "-1" }],
        ["-2147483648", { status: "card", cardno: "-2147483648" }],
        ["0", { status: "card", cardno: "0" }],
        ["", { status: "failed" }],
        [NO_CARD, { status: "no_card" }],
        [NO_CARD_SEEN, { status: "no_card" }],
        [NO_READER, { status: "no_reader" }],
        [NO_READER_SEEN, { status: "no_reader" }],
        ["-", { status: "no_card" }],
        ["12 345", { status: "no_card" }],
        ["+5", { status: "no_card" }],
        ["12345!", { status: "no_reader" }],
        ["12345\n", { status: "no_card" }],
    ]) {
        assert.deepEqual(classifyAnswer({ cardno }), expected, JSON.stringify(cardno));
    }
    for (const message of [null, undefined, "12345", 12345, [], {}, { cardno: 12345 }, { cardno: null }]) {
        assert.deepEqual(classifyAnswer(message), { status: "host_error" }, JSON.stringify(message));
    }
});

test("ports that end without an answer", () => {
    // Chromium's, then Firefox's words (the host not registered, or not for
    // this extension), as they reported them.
    for (const error of ["Specified native messaging host not found.",
        "Access to the specified native messaging host is forbidden.",
        "No such native application org.vellicor.reader", "No such native application org.vellicor.watch"]) {
        assert.deepEqual(classifyDisconnect(error), { status: "not_installed" }, error);
    }
    for (const error of ["Error when communicating with the native messaging host.", "Native host has exited.",
        "Failed to start native messaging host.", "Specified native messaging host not found",
        // Firefox: a missing program or bad JSON, the program's unframed
        // report, another host's name; a host that ended without writing.
        "An unexpected error occurred",
        "Native application tried to send a message of 2830622414 bytes, which exceeds the limit of 1048576 bytes.",
        "No such native application org.vellicor.reader.other", null, undefined, ""]) {
        assert.deepEqual(classifyDisconnect(error), { status: "host_error" }, String(error));
    }
});

test("origins that can be allowed", () => {
    for (const [text, origin] of [
        ["https://desk.example.com", "https://desk.example.com"],
        ["https://desk.example.com/", "https://desk.example.com"],
        ["HTTPS://Desk.Example.COM:443", "https://desk.example.com"],
        ["https://desk.example.com:8443", "https://desk.example.com:8443"],
        [" https://desk.example.com ", "https://desk.example.com"],
        ["http://localhost", "http://localhost"],
        ["http://localhost:8080", "http://localhost:8080"],
        ["http://127.0.0.1:3000", "http://127.0.0.1:3000"],
        ["http://[::1]:3000", "http://[::1]:3000"],
        ["http://[0:0:0:0:0:0:0:1]", "http://[::1]"],
    ]) {
        assert.equal(allowableOrigin(text), origin, text);
    }
    for (const text of ["http://desk.example.com", "http://127.0.0.2", "http://localhost.example.com",
        "https://desk.example.com/app", "https://desk.example.com/?x", "https://desk.example.com/#x",
        "https://user@desk.example.com", "https://*.example.com", "*", "", "null", "desk.example.com",
        "file:///tmp/page.html", "ftp://desk.example.com", "chrome-extension://abc/", "data:text/html,x",
        null, 42, ["https://desk.example.com"]]) {
        assert.equal(allowableOrigin(text), null, JSON.stringify(text));
    }
});

test("stored lists and who may read", () => {
    assert.deepEqual(originList(["https://a.example", "https://a.example/", "http://b.example", 5, "x"]),
        ["https://a.example"]);
    for (const value of [undefined, null, "https://a.example", { 0: "https://a.example" }]) {
        assert.deepEqual(originList(value), [], JSON.stringify(value));
    }
    const admin = ["https://a.example"];
    const user = ["http://localhost:8080"];
    assert.equal(mayRead("https://a.example", admin, user), true);
    assert.equal(mayRead("http://localhost:8080", admin, user), true);
    // Exact: another scheme, port or name of the same host is another origin.
    for (const origin of ["http://a.example", "https://a.example:444", "https://b.a.example",
        "http://localhost:8081", "http://127.0.0.1:8080", "https://a.example/", "null", undefined]) {
        assert.equal(mayRead(origin, admin, user), false, String(origin));
    }
    // A list cannot allow what the origin rule refuses.
    assert.equal(mayRead("http://desk.example.com", ["http://desk.example.com"]), false);
    assert.equal(mayRead("https://a.example"), false);
});

// The page library against a stand-in window whose "content script" answers
// as told, with the clock in the test's hands.
class FakeWindow extends EventTarget {
    constructor(answer) {
        super();
        this.requests = [];
        this.addEventListener("message", ({ data }) => {
            if (data?.vellicor !== "read") return;
            this.requests.push(data);
            answer?.(data, (message) => this.post(message));
        });
    }

    post(data, source = this) {
        setImmediate(() => this.dispatchEvent(Object.assign(new Event("message"), { data, source })));
    }

    postMessage(data) {
        this.post(data);
    }
}

const settle = () => new Promise((resolve) => setImmediate(() => setImmediate(resolve)));

// The test's clock for setTimeout and clearTimeout, until the test ends. Our
// own, not node's MockTimers: in Debian 12's node 18 that takes another form
// and fails to clear a timer once one has fired.
class Clock {
    constructor(t) {
        this.now = 0;
        this.timers = new Map();
        this.ids = 0;
        const saved = { setTimeout: globalThis.setTimeout, clearTimeout: globalThis.clearTimeout };
        globalThis.setTimeout = (callback, ms, ...args) => {
            this.ids += 1;
            this.timers.set(this.ids, { at: this.now + Math.max(0, Number(ms) || 0), callback, args });
            return this.ids;
        };
        globalThis.clearTimeout = (id) => this.timers.delete(id);
        t.after(() => Object.assign(globalThis, saved));
    }

    // Runs every timer due within `ms`, earliest (then first set) first.
    tick(ms) {
        const end = this.now + ms;
        for (;;) {
            let next = null;
            for (const [id, timer] of this.timers) {
                if (timer.at <= end && (next === null || timer.at < this.timers.get(next).at)) next = id;
            }
            if (next === null) break;
            const { at, callback, args } = this.timers.get(next);
            this.timers.delete(next);
            this.now = at;
            callback(...args);
        }
        this.now = end;
    }
}

async function pageRead(clock, answer, options, waitMs) {
    globalThis.window = new FakeWindow(answer);
    let result = null;
    readCard(options).then((value) => (result = value));
    await settle();
    clock.tick(waitMs - 1);
    await settle();
    const early = result;
    clock.tick(1);
    await settle();
    return { early, result, requests: globalThis.window.requests };
}

const ackOnly = (request, reply) => reply({ vellicor: "ack", id: request.id });
const answering = (answer) => (request, reply) => {
    reply({ vellicor: "ack", id: request.id });
    reply({ vellicor: "result", id: request.id, result: answer });
};

test("readCard: timeouts, good and bad", async (t) => {
    const clock = new Clock(t);
    for (const [options, ms] of [[undefined, 10000], [{ timeout: 2500 }, 2500], [{ timeout: "2500" }, 10000],
        [{ timeout: -1 }, 10000], [{ timeout: NaN }, 10000], [{ timeout: Infinity }, 10000],
        [{ timeout: 1e12 }, 600000], [null, 10000], [42, 10000]]) {
        const { early, result, requests } = await pageRead(clock, ackOnly, options, ms);
        assert.equal(early, null, `${JSON.stringify(options)}: answered before ${ms} ms`);
        assert.deepEqual(result, { status: "timeout" }, JSON.stringify(options));
        assert.equal(requests[0].timeout, ms, "the extension is told the same timeout");
    }
    for (const [options, ms] of [[undefined, 1000], [{ timeout: 300 }, 300]]) {
        const { early, result } = await pageRead(clock, null, options, ms);
        assert.equal(early, null);
        assert.deepEqual(result, { status: "no_extension" }, JSON.stringify(options));
    }
});

test("readCard: only well-formed answers from its own window", async (t) => {
    const clock = new Clock(t);
    for (const [answer, expected] of [
        [{ status: "card", cardno: "-5", extra: 1 }, { status: "card", cardno: "-5" }],
        [{ status: "no_card", cardno: "1" }, { status: "no_card" }],
        [{ status: "card", cardno: "12x" }, { status: "host_error" }],
        [{ status: "card" }, { status: "host_error" }],
        [{ status: "toString" }, { status: "host_error" }],
        [null, { status: "host_error" }],
    ]) {
        const { result } = await pageRead(clock, answering(answer), undefined, 1);
        assert.deepEqual(result, expected, JSON.stringify(answer));
    }
    // A frame posting into this window, and answers to other requests, are
    // not heard.
    const spoofing = (request, reply) => {
        globalThis.window.post({ vellicor: "result", id: request.id, result: { status: "card", cardno: "1" } }, {});
        reply({ vellicor: "result", id: "another", result: { status: "card", cardno: "2" } });
    };
    const { result } = await pageRead(clock, spoofing, undefined, 1000);
    assert.deepEqual(result, { status: "no_extension" });
    delete globalThis.window;
    assert.deepEqual(await readCard(), { status: "no_extension" }, "outside a page");
});

test("messages of the watch host", () => {
    for (const [message, expected] of [
        [{ event: "card", cardno: "-559038737" }, { result: { status: "card", cardno: "-559038737" } }],
        [{ event: "no_card" }, { result: { status: "no_card" } }],
        [{ event: "timeout" }, { result: { status: "timeout" } }],
        [{ event: "not_found" }, { result: { status: "host_error" } }],
        [{ event: "card", cardno: "12x" }, { result: { status: "host_error" } }],
        [{ event: "card" }, { result: { status: "host_error" } }],
        [{ event: "toString" }, { result: { status: "host_error" } }],
        [{ read: 7, event: "card", cardno: "12345" }, { read: 7, result: { status: "card", cardno: "12345" } }],
        [{ read: 0, event: "no_reader" }, { read: 0, result: { status: "no_reader" } }],
        [{ read: 3, error: "busy" }, { read: 3, result: { status: "host_error" } }],
    ]) {
        assert.deepEqual(classifyWatchMessage(message), expected, JSON.stringify(message));
    }
    for (const message of [null, "card", [], {}, { error: "bad_request" }, { read: "1", event: "card" },
        { read: 1.5, event: "no_card" }, { read: 2 ** 53, event: "no_card" }]) {
        assert.equal(classifyWatchMessage(message), null, JSON.stringify(message));
    }
});

test("watch: one tab hears each card, each watch every change once", () => {
    const X = { status: "card", cardno: "1" };
    const Y = { status: "card", cardno: "2" };
    const NONE = { status: "no_card" };
    const p = new Presentations();
    const watch = (tab, heard = null) => ({ tab, heard, presentation: null });
    const [a, a2, b] = [watch(1), watch(1), watch(2)];
    const hear = (...watches) => watches.map((w) => p.next(w));
    assert.deepEqual(hear(a), [null], "nothing known before the host says");
    p.seen(NONE);
    assert.deepEqual(hear(a, a), [NONE, null]);
    p.seen(X);
    assert.deepEqual(hear(a, a2, a, b), [X, X, null, null], "a card goes to the tab in front, once");
    p.seen(X);
    assert.deepEqual(hear(a, b), [X, null], "a running host's card again is a presentation again");
    p.seen(NONE);
    assert.deepEqual(hear(b, a, b), [NONE, NONE, null]);
    // The host let go of with a card lying there: until the next one says,
    // nothing; its first message of the same card is the same presentation.
    p.seen(Y);
    assert.deepEqual(hear(b), [Y]);
    p.hostGone();
    assert.deepEqual(hear(a), [null]);
    p.seen(Y);
    assert.deepEqual(hear(a, b), [null, null]);
    // A watch back after the worker started anew knows only what it heard.
    assert.deepEqual(hear(watch(2, "card:2"), watch(3, "card:2")), [null, null]);
    p.seen(Y);
    assert.deepEqual(hear(b), [Y]);
    // A host that ended unasked: that, once; then the same card is news.
    p.ended({ status: "host_error" });
    assert.deepEqual(hear(b, b), [{ status: "host_error" }, null]);
    p.seen(Y);
    assert.deepEqual(hear(b), [Y]);
});

test("watch: the pause before a host starts again", () => {
    const backoff = new Backoff();
    const pauses = [0, 1, 2, 3, 4, 5, 6].map((at) => backoff.ended(at * 1000, at * 1000 + 10));
    assert.deepEqual(pauses, [1000, 2000, 4000, 8000, 16000, 30000, 30000]);
    assert.equal(backoff.ended(0, 59999), 30000, "not yet a minute up");
    assert.equal(backoff.ended(0, 60000), 1000, "a minute up");
    assert.equal(backoff.ended(0, 10), 2000);
});

// Watches on a stand-in window whose "content script" acks and then posts
// `results` to each watch, or does nothing at all.
async function pageWatch(clock, options = {}) {
    const { answer = true, results = [] } = options;
    globalThis.window = new FakeWindow();
    const win = globalThis.window;
    const requests = [];
    win.addEventListener("message", ({ data }) => {
        if (!["watch", "unwatch"].includes(data?.vellicor)) return;
        requests.push(data);
        if (data.vellicor !== "watch" || !answer) return;
        win.post({ vellicor: "watch-ack", id: data.id });
        for (const result of results) win.post({ vellicor: "watch-result", id: data.id, result });
    });
    const heard = [];
    const handle = watchCards("listener" in options ? options.listener : (result) => heard.push(result));
    await settle();
    return { win, requests, heard, handle };
}

test("watchCards: what the listener hears", async (t) => {
    const clock = new Clock(t);
    const NONE = { status: "no_card" };
    const { heard, handle, requests, win } = await pageWatch(clock, {
        results: [NONE, NONE, { status: "card", cardno: "5" }, { status: "card", cardno: "5", x: 1 },
            { status: "card", cardno: "5e" }, { status: "bogus" }, NONE, { status: "no_reader" }],
    });
    await settle();
    assert.deepEqual(heard, [NONE, { status: "card", cardno: "5" }, { status: "card", cardno: "5" },
        { status: "host_error" }, NONE, { status: "no_reader" }], "cards each time, the rest when it changes");
    // Another window's message, and after stop() nothing at all.
    win.post({ vellicor: "watch-result", id: requests[0].id, result: NONE }, {});
    handle.stop();
    handle.stop();
    win.post({ vellicor: "watch-result", id: requests[0].id, result: NONE });
    await settle();
    assert.equal(heard.length, 6);
    assert.deepEqual(requests.map((r) => r.vellicor), ["watch", "unwatch"], "stop() tells the extension once");
});

test("watchCards: without the extension, and one coming later", async (t) => {
    const clock = new Clock(t);
    const { heard, requests, win } = await pageWatch(clock, { answer: false });
    clock.tick(999);
    await settle();
    assert.deepEqual(heard, []);
    clock.tick(1);
    await settle();
    assert.deepEqual(heard, [{ status: "no_extension" }]);
    // A content script arriving says so; the watch asks again and goes on.
    win.addEventListener("message", ({ data }) => {
        if (data?.vellicor === "watch") win.post({ vellicor: "watch-result", id: data.id, result: { status: "no_card" } });
    });
    win.post({ vellicor: "ready" });
    await settle();
    await settle();
    assert.deepEqual(requests.map((r) => r.vellicor), ["watch", "watch"]);
    assert.deepEqual(heard, [{ status: "no_extension" }, { status: "no_card" }]);
});

test("watchCards: bad input never throws", async (t) => {
    const clock = new Clock(t);
    // A listener that throws is reported and keeps hearing.
    const errors = [];
    const saved = globalThis.reportError;
    globalThis.reportError = (error) => errors.push(error.message);
    t.after(() => (globalThis.reportError = saved));
    const calls = [];
    await pageWatch(clock, {
        results: [{ status: "no_card" }, { status: "card", cardno: "1" }],
        listener: (result) => {
            calls.push(result.status);
            throw new Error(result.status);
        },
    });
    await settle();
    assert.deepEqual(calls, ["no_card", "card"]);
    assert.deepEqual(errors, ["no_card", "card"]);
    // Not a function: nothing is asked, stop() still works.
    for (const listener of [undefined, null, "x", {}]) {
        const { requests, handle } = await pageWatch(clock, { listener });
        handle.stop();
        assert.deepEqual(requests, [], String(listener));
    }
    // Outside a page: no_extension, once, asynchronously.
    delete globalThis.window;
    const heard = [];
    watchCards((result) => heard.push(result));
    assert.deepEqual(heard, []);
    await settle();
    assert.deepEqual(heard, [{ status: "no_extension" }]);
});
