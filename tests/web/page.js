// The test page's functions, which tests/web/web_e2e.py calls through the
// DevTools protocol.
import { readCard, watchCards } from "/vellicor.js";

// The page's watches: each handle, and what its listener heard, with the
// wall-clock time of each call in milliseconds.
const watches = [];

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

    // Tries to put this page's origin on the user's list: by messages in the
    // shape of our own, and through the tests' own content script (tamper.js),
    // which reports what each of its attempts did.
    tamper() {
        const origins = [location.origin];
        window.postMessage({ vellicor: "read", id: "tamper", type: "vellicor-user-origins", origins }, "/");
        window.postMessage({ vellicor: "userOrigins", origins }, "/");
        return new Promise((resolve) => {
            window.addEventListener("message", function heard(event) {
                if (event.source !== window || !event.data?.vellicorTampered) return;
                window.removeEventListener("message", heard);
                resolve(event.data.vellicorTampered);
            });
            window.postMessage({ vellicorTamper: "try" }, "/");
        });
    },

    // Starts a watch; returns its number. With `throwing`, the listener
    // throws after taking each result.
    watch(throwing = false) {
        const heard = [];
        const waiting = [];
        const handle = watchCards((result) => {
            heard.push({ ...result, at: performance.timeOrigin + performance.now() });
            waiting.splice(0).forEach((resolve) => resolve());
            if (throwing) throw new Error("the page's own listener failed");
        });
        return watches.push({ handle, heard, waiting }) - 1;
    },

    // The same as heard(), once there is anything from the `since`-th call on.
    async awaitHeard(number, since = 0, timed = false) {
        const watch = watches[number];
        while (watch.heard.length <= since) await new Promise((resolve) => watch.waiting.push(resolve));
        return this.heard(number, since, timed);
    },

    // What watch `number` heard from the `since`-th call on; with `timed`,
    // when too.
    heard(number, since = 0, timed = false) {
        return watches[number].heard.slice(since).map(({ at, ...result }) => (timed ? { ...result, at } : result));
    },

    stopWatch(number) {
        watches[number].handle.stop();
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
