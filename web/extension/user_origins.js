// The user's own list of origins, kept in the extension's IndexedDB, which
// only the extension's own pages and worker can reach. chrome.storage would
// not do: content scripts, which run in every page, can write it too, while
// the IndexedDB they see is the page's.
import { originList } from "./origins.js";

const DATABASE = "vellicor";
const STORE = "settings";
const KEY = "userOrigins";
// Tells the worker and other options pages of a change. Like the database,
// it belongs to the extension's origin: no page or content script can post
// on it.
const CHANNEL = "vellicor-user-origins";

function done(request) {
    return new Promise((resolve, reject) => {
        request.onsuccess = () => resolve(request.result);
        request.onerror = () => reject(request.error);
    });
}

// Runs `use` on the store in one transaction; resolves once it is committed.
async function withStore(mode, use) {
    const opening = indexedDB.open(DATABASE, 1);
    opening.onupgradeneeded = () => opening.result.createObjectStore(STORE);
    const database = await done(opening);
    try {
        const transaction = database.transaction(STORE, mode);
        const committed = new Promise((resolve, reject) => {
            transaction.oncomplete = resolve;
            transaction.onerror = transaction.onabort = () => reject(transaction.error);
        });
        const result = await use(transaction.objectStore(STORE));
        await committed;
        return result;
    } finally {
        database.close();
    }
}

function announce(origins) {
    const channel = new BroadcastChannel(CHANNEL);
    channel.postMessage(origins);
    channel.close();
}

export async function loadUserOrigins() {
    return originList(await withStore("readonly", (store) => done(store.get(KEY))));
}

// Replaces the list by `change(list)`, read and written in one transaction,
// so that two options pages cannot undo each other's edits.
export async function changeUserOrigins(change) {
    const origins = await withStore("readwrite", async (store) => {
        const changed = originList(change(originList(await done(store.get(KEY)))));
        await done(store.put(changed, KEY));
        return changed;
    });
    announce(origins);
    return origins;
}

export function watchUserOrigins(callback) {
    new BroadcastChannel(CHANNEL).onmessage = (event) => callback(originList(event.data));
}

// When this version is installed or updated: a list that an earlier version
// kept in chrome.storage.local moves here, if this database has none yet.
// From then on nothing written there counts.
export async function settleUserOrigins(reason) {
    if (reason !== "install" && reason !== "update") return;
    const earlier = (await chrome.storage.local.get(KEY))[KEY];
    const moved = await withStore("readwrite", async (store) => {
        if ((await done(store.getKey(KEY))) !== undefined) return null;
        const origins = originList(earlier);
        await done(store.put(origins, KEY));
        return origins;
    });
    if (moved !== null) {
        await chrome.storage.local.remove(KEY);
        announce(moved);
    }
}
