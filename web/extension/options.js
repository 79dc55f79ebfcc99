// Edits the user's own list of origins and shows the administrator's
// (managed storage) beside it, read-only.
import { allowableOrigin, originList } from "./origins.js";
import { changeUserOrigins, loadUserOrigins, watchUserOrigins } from "./user_origins.js";

const userList = document.getElementById("user");
const adminList = document.getElementById("admin");
const form = document.getElementById("add");
const input = document.getElementById("origin");
const error = document.getElementById("error");

function show(list, origins, removable) {
    list.replaceChildren();
    if (origins.length === 0) {
        const item = document.createElement("li");
        item.className = "empty";
        item.textContent = "none";
        list.append(item);
    }
    for (const origin of origins) {
        const item = document.createElement("li");
        item.textContent = origin;
        if (removable) {
            const button = document.createElement("button");
            button.type = "button";
            button.textContent = "Remove";
            button.dataset.origin = origin;
            button.addEventListener("click", () => remove(origin));
            item.append(" ", button);
        }
        list.append(item);
    }
}

async function showAll() {
    show(userList, await loadUserOrigins(), true);
    let admin = [];
    try {
        admin = originList((await chrome.storage.managed.get("allowedOrigins")).allowedOrigins);
    } catch {
        // No policy for this extension.
    }
    show(adminList, admin, false);
}

async function remove(origin) {
    await changeUserOrigins((origins) => origins.filter((entry) => entry !== origin));
    await showAll();
}

form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const origin = allowableOrigin(input.value);
    if (origin === null) {
        error.textContent = `Not added: "${input.value}" is not an https origin, nor http on localhost, 127.0.0.1 or [::1].`;
        return;
    }
    error.textContent = "";
    input.value = "";
    await changeUserOrigins((origins) => (origins.includes(origin) ? origins : [...origins, origin]));
    await showAll();
});

watchUserOrigins(showAll);
chrome.storage.onChanged.addListener((changes, areaName) => {
    if (areaName === "managed") showAll();
});
showAll();
