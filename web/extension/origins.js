// Which origins may read a card. Pure: the lists are passed in.

const LOCAL_HOSTS = new Set(["localhost", "127.0.0.1", "[::1]"]);
// A host name or IP address as the URL parser leaves it; the parser itself
// lets through characters such as "*" that no host has.
const HOST = /^([a-z0-9_-]+\.)*[a-z0-9_-]+$|^\[[0-9a-f:.]+\]$/;

// The origin `text` names, serialised as the browser reports a sender's
// origin ("https://desk.example.com", default port left out), or null when
// `text` is not an origin that can be allowed at all: https, or http on this
// machine. A trailing "/" is accepted; a path, query, fragment or user is
// not, nor a wildcard, so that an entry means one origin.
export function allowableOrigin(text) {
    if (typeof text !== "string") return null;
    let url;
    try {
        url = new URL(text.trim());
    } catch {
        return null;
    }
    if (url.username || url.password || url.search || url.hash || url.pathname !== "/") return null;
    if (!HOST.test(url.hostname)) return null;
    if (url.protocol === "https:" || (url.protocol === "http:" && LOCAL_HOSTS.has(url.hostname))) {
        return url.origin;
    }
    return null;
}

// The allowable entries of a stored list, normalised; anything else in it
// (not an array, not a string, not allowable) is left out.
export function originList(value) {
    if (!Array.isArray(value)) return [];
    return [...new Set(value.map(allowableOrigin).filter((origin) => origin !== null))];
}

// Whether a page of `origin` (as the browser reported it) may read: it must
// itself be allowable and be on one of the lists, compared exactly.
export function mayRead(origin, ...lists) {
    if (typeof origin !== "string" || allowableOrigin(origin) !== origin) return false;
    return lists.some((list) => list.includes(origin));
}
