// What one read came to, from what the native host sent or how its port
// ended, and what the watch host's messages say. Pure: the service worker
// passes in what the browser gave it.

// The browser decodes the host's JSON as UTF-8, so the GBK status texts
// arrive garbled, partly U+FFFD, partly other characters; only their ASCII
// survives. The rules therefore look at nothing but digits, emptiness and a
// trailing "!".
const CARD_NUMBER = /^-?[0-9]+$/;

// The browsers' own words when they cannot find a host, or may not start it
// for this extension: Chromium's two, and Firefox's one for both, which
// names the host.
const NOT_INSTALLED_ERRORS = new Set([
    "Specified native messaging host not found.",
    "Access to the specified native messaging host is forbidden.",
    "No such native application org.vellicor.reader",
    "No such native application org.vellicor.watch",
]);

// The one message the host sent.
export function classifyAnswer(message) {
    const cardno = message !== null && typeof message === "object" ? message.cardno : undefined;
    if (typeof cardno !== "string") return { status: "host_error" };
    if (CARD_NUMBER.test(cardno)) return { status: "card", cardno };
    if (cardno === "") return { status: "failed" };
    if (cardno.endsWith("!")) return { status: "no_reader" };
    return { status: "no_card" };
}

// The port ended before any message; `error` is the browser's message, if it
// gave one (Firefox gives none when the host ended without writing).
export function classifyDisconnect(error) {
    if (NOT_INSTALLED_ERRORS.has(error)) return { status: "not_installed" };
    return { status: "host_error" };
}

// The watch host's events (its own JSON, no GBK texts) as the page's
// statuses. Without a library beside it, as for the program, host_error.
const WATCH_EVENTS = new Map([
    ["card", "card"], ["no_card", "no_card"], ["no_reader", "no_reader"], ["failed", "failed"],
    ["timeout", "timeout"], ["not_found", "host_error"],
]);

// One message of the watch host: { result } for an event of the watch,
// { read: N, result } for the answer to read request N, or null for anything
// else. A malformed event or answer is host_error.
export function classifyWatchMessage(message) {
    if (message === null || typeof message !== "object" || Array.isArray(message)) return null;
    const { read, event, cardno } = message;
    if (read !== undefined && !Number.isSafeInteger(read)) return null;
    if (read === undefined && event === undefined) return null;
    let result = { status: "host_error" };
    if (WATCH_EVENTS.has(event)) result = { status: WATCH_EVENTS.get(event) };
    if (result.status === "card") {
        result = typeof cardno === "string" && CARD_NUMBER.test(cardno) ? { status: "card", cardno } : { status: "host_error" };
    }
    return read === undefined ? { result } : { read, result };
}
