// The test page's functions, which tests/web/web_e2e.py calls through the
// DevTools protocol.
import { readCard } from "/vellicor.js";

window.vellicorTest = {
    read: (options) => readCard(options),

    // Reads one after the other; with `timed`, each read's milliseconds too.
    async readMany(count, options, timed = false) {
        const results = [];
        for (let i = 0; i < count; i += 1) {
            const start = performance.now();
            const result = await readCard(options);
            results.push(timed ? { ...result, ms: performance.now() - start } : result);
        }
        return results;
    },

    readTogether: (count, options) => Promise.all(Array.from({ length: count }, () => readCard(options))),

    // Reads in a frame of `url` (this page, under some origin), which posts
    // its result up.
    readInFrame(url) {
        const frame = document.createElement("iframe");
        return new Promise((resolve) => {
            window.addEventListener("message", function heard(event) {
                if (event.source !== frame.contentWindow || !event.data?.frameResult) return;
                window.removeEventListener("message", heard);
                frame.remove();
                resolve(event.data.frameResult);
            });
            frame.src = `${url}#read`;
            document.body.append(frame);
        });
    },
};

if (location.hash === "#read" && window.parent !== window) {
    readCard().then((result) => window.parent.postMessage({ frameResult: result }, "*"));
}
