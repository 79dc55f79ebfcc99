// Edits the user's own list of origins (chrome.storage.local, "userOrigins")
// and shows the administrator's (managed storage) beside it, read-only.
import { allowableOrigin, originList } from "./origins.js";

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

async function userOrigins() {
    return originList((await chrome.storage.local.get("userOrigins")).userOrigins);
}

async function showAll() {
    show(userList, await userOrigins(), true);
    let admin = [];
    try {
        admin = originList((await chrome.storage.managed.get("allowedOrigins")).allowedOrigins);
    } catch {
        // No policy for this extension.
    }
    show(adminList, admin, false);
}

async function remove(origin) {
    const origins = (await userOrigins()).filter((entry) => entry !== origin);
    await chrome.storage.local.set({ userOrigins: origins });
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
    const origins = await userOrigins();
    if (!origins.includes(origin)) await chrome.storage.local.set({ userOrigins: [...origins, origin] });
});

chrome.storage.onChanged.addListener(showAll);
showAll();
