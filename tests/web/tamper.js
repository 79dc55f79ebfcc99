// A content script of the tests' own, loaded beside ours in the same isolated
// world: when the test page asks, it tries every way a content script has to
// put the page's origin on the user's list, and reports what each did.
"use strict";

window.addEventListener("message", async (event) => {
    if (event.source !== window || event.data?.vellicorTamper !== "try") return;
    const origins = [location.origin];
    const report = {};
    const attempt = async (name, action) => {
        try {
            await action();
            report[name] = "done";
        } catch (error) {
            report[name] = `refused: ${error?.message ?? error}`;
        }
    };
    await attempt("storage.local", () => chrome.storage.local.set({ userOrigins: origins }));
    await attempt("storage.sync", () => chrome.storage.sync.set({ userOrigins: origins }));
    await attempt("storage.session", () => chrome.storage.session.set({ userOrigins: origins }));
    await attempt("channel", () => {
        const channel = new BroadcastChannel("vellicor-user-origins");
        channel.postMessage(origins);
        channel.close();
    });
    // The page's own database of that name, which is all a content script sees.
    await attempt("indexedDB", () => new Promise((resolve, reject) => {
        const opening = indexedDB.open("vellicor", 1);
        opening.onupgradeneeded = () => opening.result.createObjectStore("settings");
        opening.onerror = () => reject(opening.error);
        opening.onsuccess = () => {
            const transaction = opening.result.transaction("settings", "readwrite");
            transaction.objectStore("settings").put(origins, "userOrigins");
            transaction.oncomplete = () => resolve(opening.result.close());
            transaction.onerror = () => reject(transaction.error);
        };
    }));
    await attempt("runtime message", () => chrome.runtime.sendMessage({ type: "vellicor-user-origins", origins }));
    window.postMessage({ vellicorTampered: report }, "/");
});
