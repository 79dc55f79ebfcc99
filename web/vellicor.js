// Reads a contactless card through the Vellicor browser extension:
//
//     import { readCard } from "./vellicor.js";
//     const result = await readCard();
//     if (result.status === "card") console.log(result.cardno);
//
// readCard() always resolves, never rejects, to { status } or, for a card,
// { status: "card", cardno }. The page and the extension's content script
// share the window and talk by window.postMessage.

const DEFAULT_TIMEOUT_MS = 10000;
const LONGEST_TIMEOUT_MS = 600000; // as the extension allows
const ACK_TIMEOUT_MS = 1000;

const STATUSES = new Set([
    "card", "no_card", "no_reader", "failed", "not_installed",
    "host_error", "denied", "timeout", "no_extension",
]);
const CARD_NUMBER = /^-?[0-9]+$/;

let requests = 0;

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
    requests += 1;
    const id = `vellicor-${Date.now().toString(36)}-${requests}-${Math.random().toString(36).slice(2)}`;
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
