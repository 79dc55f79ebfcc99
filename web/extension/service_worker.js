// Decides every read and every watch: checks the asking page's origin, starts
// the native host once per read, keeps the watch host running while a watch
// is in front, and answers the content scripts with what came of it.
import { classifyAnswer, classifyDisconnect, classifyWatchMessage } from "./classify.js";
import { mayRead, originList } from "./origins.js";
import { loadUserOrigins, settleUserOrigins, watchUserOrigins } from "./user_origins.js";
import { Backoff, Presentations } from "./watching.js";

const HOST = "org.vellicor.reader";
const WATCH_HOST = "org.vellicor.watch";
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
        reconsiderWatches();
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
        reconsiderWatches();
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

const knownLists = () => lists.map((list) => list.value ?? []);

async function allowed(origin, deadline) {
    const known = knownLists;
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

// One read at a time: vendor libraries rarely cope with two reads at once.
let lastRead = Promise.resolve();

function read(deadline) {
    const result = lastRead.then(() =>
        Date.now() < deadline ? readBesideWatch(deadline) : { status: "timeout" },
    );
    lastRead = result;
    return result;
}

// While the watch host runs, it makes the read, so that the program never
// reads beside it; otherwise the program runs, and the watch host starts
// only once it is done. A host just let go of may take a moment to end.
async function readBesideWatch(deadline) {
    while (watchHost !== null) {
        const result = await watchHost.read(deadline);
        if (result !== null) return result;
    }
    oneShots += 1;
    try {
        const ending = watchHostEndedAt + HOST_EXIT_MS - Date.now();
        if (ending > 0) await delay(ending);
        return Date.now() < deadline ? await readFromHost(deadline) : { status: "timeout" };
    } finally {
        oneShots -= 1;
        updateWatch();
    }
}

const delay = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

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

// Watching. Each content script whose page watches holds a port named
// "vellicor-watch", on which it tells of the page's watches and whether the
// page is visible, and hears the results. The watch host runs while a watch
// of an allowed origin is in front: in the tab the browser reports active
// in its window focused last, and whose page says it is visible (so not in
// a minimised window). Who that is comes from the browser itself: the tab of
// the port's sender, the tabs and windows it reports. Visibility comes from
// our content script, which reads it in a world of its own, where the page
// cannot change what document.visibilityState says; a page can fire a false
// visibilitychange or focus event, which only makes the content script look
// again. A window the browser reports unfocused because another application
// has the focus (or, on Linux, for a moment between two of its windows)
// keeps its tab in front.
const HOST_LINGER_MS = 250; // a watch moving between two tabs keeps the host
const HOST_EXIT_MS = 200; // for a host let go of to end, before the program reads
const WATCH_ID = /^[\w-]{1,100}$/;

const frames = new Map(); // port -> { tab, origin, visible, allowed, watches: Map<id, watch> }
const presentations = new Presentations();
const backoff = new Backoff();
let frontTab = null;
let frontQueries = 0;
let watchHost = null;
let watchHostEndedAt = -Infinity;
let nextStartAt = 0;
let startTimer = null;
let stopTimer = null;
let oneShots = 0;
let hostReads = 0;

// The tab in front, as the browser says, asked anew whenever something may
// have moved it; an earlier answer arriving late is dropped.
async function refreshFront() {
    const query = ++frontQueries;
    let tab = null;
    try {
        [tab] = await chrome.tabs.query({ active: true, lastFocusedWindow: true });
    } catch {
        // No window at all.
    }
    if (query !== frontQueries) return;
    frontTab = tab?.id ?? null;
    updateWatch();
}

const focusEvents = [chrome.tabs.onActivated, chrome.windows.onFocusChanged];
// Only while some page watches: nothing wakes the worker for a tab switched
// when nobody does.
function listenForFocus(listen) {
    for (const event of focusEvents) {
        if (listen && !event.hasListener(refreshFront)) event.addListener(refreshFront);
        if (!listen) event.removeListener(refreshFront);
    }
}

function watchesInFront() {
    const found = [];
    for (const frame of frames.values()) {
        if (frame.tab === frontTab && frame.visible && frame.allowed === true) found.push(...frame.watches.values());
    }
    return found;
}

function tell(watch, result) {
    try {
        watch.frame.port.postMessage({ type: "result", id: watch.id, result });
    } catch {
        // The port closed meanwhile: its frame is going.
    }
}

// Brings everything in line with what is known: the watches in front hear
// what is news to them, and the host runs exactly while one is in front (or
// a read waits on it).
function updateWatch() {
    const inFront = watchesInFront();
    for (const watch of inFront) {
        const result = presentations.next(watch);
        if (result !== null) tell(watch, result);
    }
    const wanted = inFront.length > 0 || hostReads > 0;
    if (wanted) {
        clearTimeout(stopTimer);
        stopTimer = null;
        if (watchHost === null) startWatchHost();
    } else if (watchHost !== null && stopTimer === null) {
        stopTimer = setTimeout(stopWatchHost, HOST_LINGER_MS);
    }
    if (!wanted) {
        clearTimeout(startTimer);
        startTimer = null;
    }
}

function startWatchHost() {
    if (oneShots > 0 || startTimer !== null) return; // each ends by updating again
    const wait = nextStartAt - Date.now();
    if (wait > 0) {
        startTimer = setTimeout(() => {
            startTimer = null;
            updateWatch();
        }, wait);
        return;
    }
    const host = { port: null, startedAt: Date.now(), up: false, reads: new Map(), read: null };
    watchHost = host;
    host.read = (deadline) => readThroughWatchHost(host, deadline);
    try {
        host.port = chrome.runtime.connectNative(WATCH_HOST);
    } catch (error) {
        watchHostEnded(host, error?.message);
        return;
    }
    host.port.onMessage.addListener((message) => watchHostSaid(host, message));
    // Chromium says why in runtime.lastError, Firefox in the port's error.
    host.port.onDisconnect.addListener((port) =>
        watchHostEnded(host, port.error?.message ?? chrome.runtime.lastError?.message));
}

function watchHostSaid(host, message) {
    if (host !== watchHost) return;
    host.up = true;
    const said = classifyWatchMessage(message);
    if (said === null) return;
    if (said.read === undefined) {
        presentations.seen(said.result);
        updateWatch();
        return;
    }
    host.reads.get(said.read)?.(said.result);
}

// Reads waiting on a host that is gone are made by the program instead.
function letGo(host) {
    watchHostEndedAt = Date.now();
    for (const finish of host.reads.values()) finish(null);
}

// The host ended unasked: it crashed, or could not be started. The watches
// hear so, and it starts again after a pause.
function watchHostEnded(host, error) {
    if (host !== watchHost) return;
    watchHost = null;
    nextStartAt = Date.now() + backoff.ended(host.startedAt, Date.now());
    presentations.ended(host.up ? { status: "host_error" } : classifyDisconnect(error));
    letGo(host);
    updateWatch();
}

function stopWatchHost() {
    stopTimer = null;
    const host = watchHost;
    if (host === null) return;
    watchHost = null;
    host.port.disconnect();
    presentations.hostGone();
    letGo(host);
}

let lastReadNumber = 0;

// A read of the page's own through the running watch host; null when the
// host ends first.
function readThroughWatchHost(host, deadline) {
    return new Promise((resolve) => {
        lastReadNumber += 1;
        const number = lastReadNumber;
        hostReads += 1;
        const finish = (result) => {
            if (!host.reads.delete(number)) return;
            clearTimeout(timer);
            hostReads -= 1;
            resolve(result);
            // (A host that is gone is being dealt with by whoever let go of it.)
            if (result !== null) updateWatch();
        };
        const timer = setTimeout(() => finish({ status: "timeout" }), Math.max(0, deadline - Date.now()));
        host.reads.set(number, finish);
        updateWatch(); // the host stays for the read
        try {
            host.port.postMessage({ read: number });
        } catch {
            finish(null);
        }
    });
}

function tellDenied(frame) {
    for (const watch of frame.watches.values()) {
        if (watch.heard === "denied") continue;
        Object.assign(watch, { heard: "denied", presentation: null });
        tell(watch, { status: "denied" });
    }
}

// A frame's origin is judged once, as for a read, when it first watches; a
// change of either list afterwards applies to its watches at once.
async function judge(frame) {
    frame.allowed = await allowed(frame.origin, Date.now() + DEFAULT_TIMEOUT_MS);
    if (!frames.has(frame.port)) return;
    if (!frame.allowed) tellDenied(frame);
    updateWatch();
}

function reconsiderWatches() {
    let changed = false;
    for (const frame of frames.values()) {
        if (typeof frame.allowed !== "boolean") continue;
        const now = mayRead(frame.origin, ...knownLists());
        if (now === frame.allowed) continue;
        frame.allowed = now;
        changed = true;
        if (!now) tellDenied(frame);
    }
    if (changed) updateWatch();
}

function frameSaid(frame, message) {
    if (message?.type === "state" && typeof message.visible === "boolean") {
        frame.visible = message.visible;
        refreshFront();
    } else if (message?.type === "watch" && WATCH_ID.test(message.id) && !frame.watches.has(message.id)) {
        const heard = typeof message.heard === "string" ? message.heard : null;
        frame.watches.set(message.id, { id: message.id, frame, tab: frame.tab, heard, presentation: null });
        if (frame.allowed === undefined) {
            frame.allowed = null;
            judge(frame);
        } else if (frame.allowed === false) {
            tellDenied(frame);
        }
        updateWatch();
    } else if (message?.type === "unwatch" && frame.watches.delete(message.id)) {
        updateWatch();
    }
}

chrome.runtime.onConnect.addListener((port) => {
    // Only our own content scripts, in a tab, watch.
    if (port.name !== "vellicor-watch" || port.sender?.id !== chrome.runtime.id || !port.sender.tab) {
        port.disconnect();
        return;
    }
    const frame = { port, tab: port.sender.tab.id, origin: senderOrigin(port.sender), visible: false,
        allowed: undefined, watches: new Map() };
    frames.set(port, frame);
    listenForFocus(true);
    port.onMessage.addListener((message) => frameSaid(frame, message));
    // The page went away, navigated, or stopped its last watch.
    port.onDisconnect.addListener(() => {
        frames.delete(port);
        if (frames.size === 0) listenForFocus(false);
        updateWatch();
    });
});

chrome.runtime.onMessage.addListener((request, sender, sendResponse) => {
    // Only our own content scripts, in a tab, ask.
    if (sender.id !== chrome.runtime.id || !sender.tab || request?.type !== "vellicor-read") {
        return false;
    }
    answer(request, sender).then(sendResponse);
    return true;
});
