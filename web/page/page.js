// The drawers live over the bridge's WebSocket, and an Open button that
// asks for a token the first time and keeps it in this browser. Plain
// script, no framework: the worked example for integrators.
"use strict";

const tokenKey = "kestrin-drawer-web.token";
const drawers = new Map(); // number -> drawer as the bridge sends it
let socket = null;
let lastMessage = 0;

function stateOf(drawer) {
    if (!drawer) return "unconfigured";
    if (!drawer.present) return "absent";
    if (!drawer.hasSensor) return "no-sensor";
    return drawer.open ? "open" : "closed";
}

const stateText = {
    unconfigured: "Not configured", absent: "Not present", "no-sensor": "Ready (no sensor)",
    open: "Open", closed: "Closed",
};

function render(number) {
    const tile = document.getElementById("drawer-" + number);
    const drawer = drawers.get(number);
    const state = stateOf(drawer);
    tile.dataset.state = state;
    tile.querySelector(".state").textContent = stateText[state];
    tile.querySelector(".since").textContent =
        drawer && drawer.changed ? "since " + new Date(drawer.changed).toLocaleTimeString() : "";
    tile.querySelector("button").disabled = !drawer || !drawer.present;
}

function buildTiles() {
    const main = document.getElementById("drawers");
    for (let number = 1; number <= 8; ++number) {
        const tile = document.createElement("section");
        tile.className = "tile";
        tile.id = "drawer-" + number;
        tile.innerHTML = '<h2></h2><span class="state"></span><span class="since"></span>' +
            '<button type="button">Open</button>';
        tile.querySelector("h2").textContent = "Drawer " + number;
        tile.querySelector("button").addEventListener("click", () => openDrawer(number));
        main.appendChild(tile);
        render(number);
    }
}

function say(text, kind) {
    const message = document.getElementById("message");
    message.textContent = text;
    message.dataset.kind = kind || "info";
}

function setConnection(state, text) {
    const connection = document.getElementById("connection");
    connection.dataset.state = state;
    connection.textContent = text;
}

function onMessage(event) {
    lastMessage = Date.now();
    const message = JSON.parse(event.data);
    if (message.event === "state") {
        drawers.clear();
        for (const drawer of message.drawers) drawers.set(drawer.number, drawer);
        for (let number = 1; number <= 8; ++number) render(number);
    } else if (message.number) {
        drawers.set(message.number, message);
        render(message.number);
    }
}

// The token goes with the WebSocket as a subprotocol (a browser cannot set
// Authorization on one), and gives it slots of its own at the bridge, which
// clients without a token cannot take. A try with the token that never
// opened is followed by one without it, should the token be unknown now.
let tokenTryFailed = false;

function connect() {
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    const token = tokenTryFailed ? null : localStorage.getItem(tokenKey);
    const protocols = token ? ["kestrin.v1", "kestrin.bearer." + token] : ["kestrin.v1"];
    let opened = false;
    socket = new WebSocket(scheme + location.host + "/v1/events", protocols);
    socket.onopen = () => {
        opened = true;
        lastMessage = Date.now();
        setConnection("live", "Live");
    };
    socket.onmessage = onMessage;
    socket.onclose = () => {
        tokenTryFailed = Boolean(token) && !opened;
        setConnection("lost", "Bridge not reachable, trying again…");
        for (const number of drawers.keys()) drawers.get(number).present = false;
        for (let number = 1; number <= 8; ++number) render(number);
        setTimeout(connect, 2000);
    };
}

// The bridge sends a heartbeat every 10 s: silence for longer means it is gone.
setInterval(() => {
    if (socket && socket.readyState === WebSocket.OPEN && Date.now() - lastMessage > 15000)
        socket.close();
}, 1000);

function askForToken() {
    return new Promise((resolve) => {
        const dialog = document.getElementById("token-dialog");
        const input = document.getElementById("token-input");
        input.value = "";
        dialog.onclose = () => resolve(dialog.returnValue === "ok" ? input.value.trim() : "");
        dialog.showModal();
    });
}

async function openDrawer(number) {
    let token = localStorage.getItem(tokenKey);
    if (!token) {
        token = await askForToken();
        if (!token) return;
        localStorage.setItem(tokenKey, token);
    }
    say("Opening drawer " + number + "…");
    let response;
    try {
        response = await fetch("/v1/drawers/" + number + "/open", {
            method: "POST",
            headers: { "Authorization": "Bearer " + token, "Content-Type": "application/json" },
            body: JSON.stringify({ reason: "drawer page" }),
        });
    } catch (error) {
        say("The bridge is not reachable.", "error");
        return;
    }
    if (response.ok) {
        say("Drawer " + number + " fired.");
        return;
    }
    const answer = await response.json().catch(() => ({}));
    if (response.status === 401) localStorage.removeItem(tokenKey);
    const why = {
        401: "The token is not known (any more); it was forgotten. Try again with a valid one.",
        403: "This page's origin is not allowed.",
        404: "Drawer " + number + " is not configured.",
        409: "Drawer " + number + " is not present or was just fired.",
    }[response.status];
    say(why || "Drawer " + number + " did not open: " + (answer.error || response.status), "error");
}

document.getElementById("forget-token").addEventListener("click", () => {
    localStorage.removeItem(tokenKey);
    say("Token forgotten.");
});
buildTiles();
connect();
