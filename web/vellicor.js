// Reads a contactless card through the Vellicor browser extension, once:
//
//     import { readCard } from "./vellicor.js";
//     const result = await readCard();
//     if (result.status === "card") console.log(result.cardno);
//
// or as each card is shown:
//
//     import { watchCards } from "./vellicor.js";
//     const watch = watchCards((result) => { if (result.status === "card") console.log(result.cardno); });
//     // ... watch.stop();
//
// readCard() always resolves, never rejects, to { status } or, for a card,
// { status: "card", cardno }; watchCards() calls its listener with the same.
// The page and the extension's content script share the window and talk by
// window.postMessage.

const DEFAULT_TIMEOUT_MS = 10000;
const LONGEST_TIMEOUT_MS = 600000; // as the extension allows
const ACK_TIMEOUT_MS = 1000;

const STATUSES = new Set([
    "card", "no_card", "no_reader", "failed", "not_installed",
    "host_error", "denied", "timeout", "no_extension",
]);
const CARD_NUMBER = /^-?[0-9]+$/;

let requests = 0;
const requestId = () => {
    requests += 1;
    return `vellicor-${Date.now().toString(36)}-${requests}-${Math.random().toString(36).slice(2)}`;
};

// options.timeout in milliseconds; anything but a finite number from 0 up gives the
// default, so that a typo never waits forever nor fails at once.
function timeoutOf(options) {
    const ms = options?.timeout;
    return Number.isFinite(ms) && ms >= 0 ? Math.min(ms, LONGEST_TIMEOUT_MS) : DEFAULT_TIMEOUT_MS;
}

// Only what the extension may answer reaches the caller.
function resultOf(answer) {
    const status = answer?.status;
    if (status === "card") {
        return CARD_NUMBER.test(answer.cardno) ? { status, cardno: answer.cardno } : { status: "host_error" };
    }
    return STATUSES.has(status) ? { status } : { status: "host_error" };
}

export function readCard(options) {
    // Outside a page (a worker, say) no content script can hear us.
    if (typeof window === "undefined") return Promise.resolve({ status: "no_extension" });
    const timeout = timeoutOf(options);
    const id = requestId();
    return new Promise((resolve) => {
        const timers = [];
        const finish = (result) => {
            window.removeEventListener("message", onMessage);
            timers.forEach(clearTimeout);
            resolve(result);
        };
        const onMessage = (event) => {
            const message = event.data;
            if (event.source !== window || message?.id !== id) return;
            if (message.vellicor === "ack") clearTimeout(timers[0]);
            if (message.vellicor === "result") finish(resultOf(message.result));
        };
        window.addEventListener("message", onMessage);
        timers.push(setTimeout(() => finish({ status: "no_extension" }), Math.min(timeout, ACK_TIMEOUT_MS)));
        timers.push(setTimeout(() => finish({ status: "timeout" }), timeout));
        window.postMessage({ vellicor: "read", id, timeout }, "/");
    });
}

// A listener's own error is reported as any uncaught one, and the watch goes on.
function callSafely(listener, result) {
    try {
        listener(result);
    } catch (error) {
        if (typeof globalThis.reportError === "function") globalThis.reportError(error);
        else console.error(error);
    }
}

// Calls `listener` with each result as it comes: a card once per
// presentation, anything else when it begins. Only the tab in front hears
// cards (the extension decides). No options yet: the second argument is
// ignored. Never throws; a `listener` that is not a function watches nothing.
// Returns { stop() }, after which the listener is called no more.
export function watchCards(listener) {
    let stopped = typeof listener !== "function";
    const handle = { stop: () => {} };
    if (stopped) return handle;
    let last = null;
    const hear = (result) => {
        // Only a card may come twice in a row: each is a presentation.
        if (stopped || (result.status !== "card" && result.status === last)) return;
        last = result.status;
        callSafely(listener, result);
    };
    if (typeof window === "undefined") {
        Promise.resolve({ status: "no_extension" }).then(hear);
        handle.stop = () => (stopped = true);
        return handle;
    }
    const id = requestId();
    let ackTimer = null;
    const ask = () => {
        clearTimeout(ackTimer);
        ackTimer = setTimeout(() => hear({ status: "no_extension" }), ACK_TIMEOUT_MS);
        window.postMessage({ vellicor: "watch", id }, "/");
    };
    const onMessage = (event) => {
        const message = event.data;
        if (event.source !== window) return;
        // The extension came, or came back, after the watch began.
        if (message?.vellicor === "ready") ask();
        if (message?.id !== id) return;
        if (message.vellicor === "watch-ack") clearTimeout(ackTimer);
        if (message.vellicor === "watch-result") hear(resultOf(message.result));
    };
    window.addEventListener("message", onMessage);
    ask();
    handle.stop = () => {
        if (stopped) return;
        stopped = true;
        clearTimeout(ackTimer);
        window.removeEventListener("message", onMessage);
        window.postMessage({ vellicor: "unwatch", id }, "/");
    };
    return handle;
}
