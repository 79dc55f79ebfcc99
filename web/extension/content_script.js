// Passes a page's read requests to the service worker and its answers back.
// The page and this script share a window: they talk by window.postMessage,
// with messages of the shape vellicor.js uses.
"use strict";

window.addEventListener("message", (event) => {
    // Only the page's own window asks; other frames cannot post for it.
    const request = event.data;
    if (event.source !== window || request?.vellicor !== "read" || typeof request.id !== "string") {
        return;
    }
    const reply = (type, result) =>
        window.postMessage({ vellicor: type, id: request.id, result }, "/");
    // After the extension was updated or removed, this script is left behind
    // without a worker to ask: the page hears nothing, as without extension.
    if (!chrome.runtime?.id) return;
    reply("ack");
    chrome.runtime
        .sendMessage({ type: "vellicor-read", timeout: request.timeout })
        .then((result) => reply("result", result ?? { status: "host_error" }))
        .catch(() => reply("result", { status: "host_error" }));
});
