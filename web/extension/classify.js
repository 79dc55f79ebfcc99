// What one read came to, from what the native host sent or how its port
// ended. Pure: the service worker passes in what the browser gave it.

// The browser decodes the host's JSON as UTF-8, so the GBK status texts may
// arrive with their bytes replaced by U+FFFD; only their ASCII survives. The
// rules therefore look at nothing but digits, emptiness and a trailing "!".
const CARD_NUMBER = /^-?[0-9]+$/;

// The browser's own words when it cannot find or may not start the host.
const NOT_INSTALLED_ERRORS = new Set([
    "Specified native messaging host not found.",
    "Access to the specified native messaging host is forbidden.",
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

// The port ended before any message; `error` is the browser's lastError
// message, if it gave one.
export function classifyDisconnect(error) {
    if (NOT_INSTALLED_ERRORS.has(error)) return { status: "not_installed" };
    return { status: "host_error" };
}
