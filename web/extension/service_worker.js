// Decides every read: checks the asking page's origin, starts the native host
// once, and answers the content script with what the read came to.
import { classifyAnswer, classifyDisconnect } from "./classify.js";
import { mayRead, originList } from "./origins.js";
import { loadUserOrigins, settleUserOrigins, watchUserOrigins } from "./user_origins.js";

const HOST = "org.vellicor.reader";
const DEFAULT_TIMEOUT_MS = 10000;
const LONGEST_TIMEOUT_MS = 600000;
// Right after it installs the extension, Chromium answers managed storage
// with an empty list for some seconds (2 to 4 were seen) before it hands the
// extension its policy, and only then tells of it by storage.onChanged; a
// policy file written just before the browser starts comes late the same
// way. For this long after an install, an update or a start, a page that
// would be denied while the administrator's list is still empty waits for
// that list, within its read's time, asking storage anew every poll.
const POLICY_MAY_COME_MS = 10000;
const POLICY_POLL_MS = 500;
// A denied page hears so before its own deadline, which would say timeout.
const ANSWER_MARGIN_MS = 200;

// A list of origins as last read from where it is kept, updated whenever it
// changes, so that a read does not wait for storage. The browser answers
// managed storage slowly right after it starts; only a read that comes before
// the first answer waits for it.
class StoredList {
    constructor(read) {
        this.read = read;
        this.value = null;
        this.changes = 0;
        this.changed = null;
        this.refresh();
    }

    set(value) {
        this.value = originList(value);
        this.changes += 1;
        this.changed?.resolve();
        this.changed = null;
    }

    // Resolves at the next change reported.
    nextChange() {
        if (this.changed === null) {
            let resolve;
            const promise = new Promise((settle) => (resolve = settle));
            this.changed = { promise, resolve };
        }
        return this.changed.promise;
    }

    // Reads the list anew; a change reported meanwhile is newer than what was
    // read.
    async refresh() {
        const changes = this.changes;
        let value = [];
        try {
            value = originList(await this.read());
        } catch {
            // Managed storage fails where no policy applies: no list.
        }
        if (this.changes === changes) this.value = value;
    }
}

const adminOrigins = new StoredList(async () => (await chrome.storage.managed.get("allowedOrigins")).allowedOrigins);
// The user's list as an update may be moving it (see settleUserOrigins).
let settling = Promise.resolve();
const userOrigins = new StoredList(async () => {
    await settling;
    return loadUserOrigins();
});
const lists = [adminOrigins, userOrigins];
chrome.storage.onChanged.addListener((changes, areaName) => {
    if (areaName === "managed" && "allowedOrigins" in changes) adminOrigins.set(changes.allowedOrigins.newValue);
});
watchUserOrigins((origins) => userOrigins.set(origins));
let policyMayComeUntil = 0;
const policyMayCome = () => {
    policyMayComeUntil = Date.now() + POLICY_MAY_COME_MS;
};
chrome.runtime.onStartup.addListener(policyMayCome);
chrome.runtime.onInstalled.addListener(({ reason }) => {
    policyMayCome();
    settling = settleUserOrigins(reason).catch(() => {});
});

function settleWithin(promise, ms) {
    return new Promise((resolve) => {
        const timer = setTimeout(resolve, Math.max(0, ms));
        promise.finally(() => {
            clearTimeout(timer);
            resolve();
        });
    });
}

async function allowed(origin, deadline) {
    const known = () => lists.map((list) => list.value ?? []);
    if (mayRead(origin, ...known())) return true;
    // Before denying, the lists are read anew (within the read's time): one
    // may still be loading, or have changed without word.
    await settleWithin(Promise.all(lists.map((list) => list.refresh())), deadline - Date.now());
    // And while the administrator's list may still be on its way, until it comes.
    const waitUntil = () => Math.min(deadline - ANSWER_MARGIN_MS, policyMayComeUntil);
    while (!mayRead(origin, ...known()) && !adminOrigins.value?.length && Date.now() < waitUntil()) {
        await settleWithin(adminOrigins.nextChange(), Math.min(POLICY_POLL_MS, waitUntil() - Date.now()));
        await settleWithin(adminOrigins.refresh(), waitUntil() - Date.now());
    }
    return mayRead(origin, ...known());
}

// One run of the host: it is started, sent nothing, and its one message (or
// how its port ended) is the answer. The port is closed at the deadline, which
// makes the browser end a host that has not answered by then.
function readFromHost(deadline) {
    return new Promise((resolve) => {
        let port = null;
        let timer = null;
        const finish = (result) => {
            if (timer === null) return;
            clearTimeout(timer);
            timer = null;
            port.disconnect();
            resolve(result);
        };
        timer = setTimeout(() => finish({ status: "timeout" }), Math.max(0, deadline - Date.now()));
        try {
            port = chrome.runtime.connectNative(HOST);
        } catch (error) {
            clearTimeout(timer);
            resolve(classifyDisconnect(error?.message));
            return;
        }
        port.onMessage.addListener((message) => finish(classifyAnswer(message)));
        // Chromium says why in runtime.lastError, Firefox in the port's error.
        port.onDisconnect.addListener((ended) =>
            finish(classifyDisconnect(ended.error?.message ?? chrome.runtime.lastError?.message)));
    });
}

// One host at a time: vendor libraries rarely cope with two reads at once.
let lastRead = Promise.resolve();

function read(deadline) {
    const result = lastRead.then(() =>
        Date.now() < deadline ? readFromHost(deadline) : { status: "timeout" },
    );
    lastRead = result;
    return result;
}

function senderOrigin(sender) {
    if (typeof sender.origin === "string") return sender.origin;
    try {
        return new URL(sender.url).origin;
    } catch {
        return "null";
    }
}

function timeoutOf(request) {
    const ms = request.timeout;
    return Number.isFinite(ms) && ms >= 0 ? Math.min(ms, LONGEST_TIMEOUT_MS) : DEFAULT_TIMEOUT_MS;
}

async function answer(request, sender) {
    const deadline = Date.now() + timeoutOf(request);
    if (!(await allowed(senderOrigin(sender), deadline))) return { status: "denied" };
    return read(deadline);
}

chrome.runtime.onMessage.addListener((request, sender, sendResponse) => {
    // Only our own content scripts, in a tab, ask.
    if (sender.id !== chrome.runtime.id || !sender.tab || request?.type !== "vellicor-read") {
        return false;
    }
    answer(request, sender).then(sendResponse);
    return true;
});
