// The browser kit's pure rules, run by node's own test runner: how an answer
// of the host is classified, and which origins may read.
import assert from "node:assert/strict";
import test from "node:test";

import { classifyAnswer, classifyDisconnect } from "../../web/extension/classify.js";
import { allowableOrigin, mayRead, originList } from "../../web/extension/origins.js";
import { readCard } from "../../web/vellicor.js";

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
        "No such native application org.vellicor.reader"]) {
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
