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
};
