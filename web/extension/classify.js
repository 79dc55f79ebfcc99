// What one read came to, from what the native host sent or how its port
// ended. Pure: the service worker passes in what the browser gave it.

// The browser decodes the host's JSON as UTF-8, so the GBK status texts
// arrive garbled, partly U+FFFD, partly other characters; only their ASCII
// survives. The rules therefore look at nothing but digits, emptiness and a
// trailing "!".
const CARD_NUMBER = /^-?[0-9]+$/;

// The browsers' own words when they cannot find the host, or may not start it
// for this extension: Chromium's two, and Firefox's one for both.
const NOT_INSTALLED_ERRORS = new Set([
    "Specified native messaging host not found.",
    "Access to the specified native messaging host is forbidden.",
    "No such native application org.vellicor.reader",
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
