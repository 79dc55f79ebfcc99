// Passes a page's reads and watches to the service worker and its answers
// back, and tells the worker whether the page is visible. The page and this
// script share a window: they talk by window.postMessage, with messages of
// the shape vellicor.js uses.
"use strict";

// The page's watches, each with the key of what it last heard (for the
// worker, which may have started anew since).
const watches = new Map();
let port = null;
let saidVisible = null;
let pausing = false; // for a moment after a port closed
const RECONNECT_MS = 1000;

const post = (message) => window.postMessage(message, "/");
const visible = () => document.visibilityState === "visible";
// After the extension was updated or removed, this script is left behind
// without a worker to ask.
const orphaned = () => !chrome.runtime?.id;

function heardKey(result) {
    return result.status === "card" ? `card:${result.cardno}` : result.status;
}

// The extension is gone (updated, reloaded or removed): the page's watches
// hear so, as without extension.
function orphan() {
    port = null;
    for (const id of watches.keys()) post({ vellicor: "watch-result", id, result: { status: "no_extension" } });
    watches.clear();
}

function connect() {
    try {
        port = chrome.runtime.connect({ name: "vellicor-watch" });
    } catch {
        orphan();
        return;
    }
    port.onMessage.addListener((message) => {
        if (message?.type !== "result" || !watches.has(message.id)) return;
        watches.set(message.id, heardKey(message.result));
        post({ vellicor: "watch-result", id: message.id, result: message.result });
    });
    // The worker was stopped (the browser does so when it is idle), or the
    // extension is going: Chromium tells this script so only a moment after
    // the port closed, and a port opened meanwhile leads nowhere. So a
    // moment later: again if this page may be in front, else once it may be.
    port.onDisconnect.addListener(() => {
        port = null;
        pausing = true;
        setTimeout(() => {
            pausing = false;
            if (orphaned()) orphan();
            else if (visible() && document.hasFocus()) ensurePort();
        }, RECONNECT_MS);
    });
    saidVisible = visible();
    port.postMessage({ type: "state", visible: saidVisible });
    for (const [id, heard] of watches) port.postMessage({ type: "watch", id, heard });
}

function ensurePort() {
    if (port !== null || pausing || watches.size === 0) return;
    if (orphaned()) orphan();
    else connect();
}

// An event is only a cue (the page can fire one too): what is sent is what
// the document says.
function stateChanged() {
    if (port === null) {
        if (visible()) ensurePort();
        return;
    }
    if (visible() === saidVisible) return;
    saidVisible = visible();
    port.postMessage({ type: "state", visible: saidVisible });
}
for (const [target, type] of [[document, "visibilitychange"], [window, "focus"], [window, "pageshow"]]) {
    target.addEventListener(type, stateChanged);
}

window.addEventListener("message", (event) => {
    // Only the page's own window asks; other frames cannot post for it.
    const request = event.data;
    if (event.source !== window || typeof request?.id !== "string") return;
    if (request.vellicor === "read") read(request);
    if (request.vellicor === "watch") watch(request.id);
    if (request.vellicor === "unwatch") unwatch(request.id);
});

function read(request) {
    const reply = (type, result) => post({ vellicor: type, id: request.id, result });
    // Without a worker, the page hears nothing, as without extension.
    if (orphaned()) return;
    reply("ack");
    chrome.runtime
        .sendMessage({ type: "vellicor-read", timeout: request.timeout })
        .then((result) => reply("result", result ?? { status: "host_error" }))
        .catch(() => reply("result", { status: "host_error" }));
}

function watch(id) {
    if (orphaned()) return;
    post({ vellicor: "watch-ack", id });
    if (watches.has(id)) return;
    watches.set(id, null);
    if (port === null) ensurePort();
    else port.postMessage({ type: "watch", id, heard: null });
}

function unwatch(id) {
    if (!watches.delete(id) || port === null) return;
    if (watches.size > 0) {
        port.postMessage({ type: "unwatch", id });
        return;
    }
    port.disconnect();
    port = null;
}

// A page (a new one, or this one after the extension came or came back) may
// already be watching: it says so again.
post({ vellicor: "ready" });
