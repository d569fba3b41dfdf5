// The development panel's page: builds the layout's controls, sends each change as
// {"<control id>": {"value": ...}} and shows what the robot sends back.
"use strict";

const layout = JSON.parse(document.getElementById("layout").textContent);
const panelId = new URLSearchParams(location.search).get("id");
const statusEl = document.getElementById("robot-status");
const messagesEl = document.getElementById("messages");
const controls = new Map(); // control id -> show(value)
const MAX_MESSAGES = 200;
let socket = null;

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (key === "text") node.textContent = value;
    else node.setAttribute(key, value);
  }
  node.append(...children);
  return node;
}

function addMessage(kind, text) {
  const time = new Date().toTimeString().slice(0, 8);
  messagesEl.prepend(el("li", { class: kind }, el("time", { text: time }), " ", text));
  while (messagesEl.children.length > MAX_MESSAGES) messagesEl.lastChild.remove();
}

function send(id, value) {
  if (socket && socket.readyState === WebSocket.OPEN) {
    socket.send(JSON.stringify({ [id]: { value } }));
  }
}

function display(value) {
  return typeof value === "string" ? value : JSON.stringify(value);
}

function shell(control, input) {
  const shown = el("output", { class: "robot-value", "data-value-for": control.id });
  input.setAttribute("data-control-id", control.id);
  input.setAttribute("data-kind", control.kind);
  input.setAttribute("aria-label", control.label);
  return { shown, input };
}

function makeButton(control) {
  const button = el("button", { type: "button", class: "hold", text: control.label });
  const { shown } = shell(control, button);
  let pressed = false;
  const press = () => {
    if (pressed) return;
    pressed = true;
    button.classList.add("down");
    send(control.id, "down");
  };
  const release = () => {
    if (!pressed) return;
    pressed = false;
    button.classList.remove("down");
    send(control.id, "up");
  };
  button.addEventListener("pointerdown", (e) => {
    if (e.button !== 0) return;
    button.setPointerCapture(e.pointerId); // the release counts even off the button
    press();
  });
  for (const name of ["pointerup", "pointercancel", "lostpointercapture", "blur"]) {
    button.addEventListener(name, release);
  }
  button.addEventListener("keydown", (e) => {
    if ((e.key === " " || e.key === "Enter") && !e.repeat) { e.preventDefault(); press(); }
  });
  button.addEventListener("keyup", (e) => {
    if (e.key === " " || e.key === "Enter") release();
  });
  button.addEventListener("contextmenu", (e) => e.preventDefault());
  controls.set(control.id, (value) => { shown.textContent = display(value); });
  return el("div", { class: "control" }, button, shown);
}

function makeSlider(control) {
  const [min, max, step] = control.range;
  const input = el("input", { type: "range", min, max, step, value: min });
  input.value = min;
  const { shown } = shell(control, input);
  const current = el("output", { text: input.value });
  input.addEventListener("input", () => {
    current.textContent = input.value;
    send(control.id, Number(input.value));
  });
  controls.set(control.id, (value) => {
    if (typeof value === "number") {
      input.value = value;
      current.textContent = input.value;
    }
    shown.textContent = display(value);
  });
  const head = el("div", { class: "slider-head" },
                  el("span", { class: "label", text: control.label }), current);
  return el("div", { class: "card control" }, head, input, shown);
}

function makeSwitch(control) {
  const input = el("input", { type: "checkbox", role: "switch" });
  const { shown } = shell(control, input);
  input.addEventListener("change", () => send(control.id, input.checked));
  controls.set(control.id, (value) => {
    if (typeof value === "boolean") input.checked = value;
    shown.textContent = display(value);
  });
  const label = el("label", { class: "switch" }, input, control.label);
  return el("div", { class: "card control" }, label, shown);
}

function makeText(control) {
  const input = el("input", { type: "text", placeholder: "type, then Enter to send",
                              autocomplete: "off" });
  const { shown } = shell(control, input);
  input.addEventListener("keydown", (e) => {
    // Enter while an input method is composing picks a candidate; it sends nothing.
    if (e.key !== "Enter" || e.isComposing) return;
    e.preventDefault();
    send(control.id, input.value);
    input.value = "";
  });
  controls.set(control.id, (value) => { shown.textContent = display(value); });
  const label = el("label", {}, control.label);
  return el("div", { class: "card control" }, label, input, shown);
}

const MAKERS = { button: makeButton, slider: makeSlider, switch: makeSwitch, text: makeText };

function build() {
  const main = document.getElementById("controls");
  let row = null;
  for (const control of layout) {
    const node = MAKERS[control.kind](control);
    if (control.kind !== "button") {
      row = null;
      main.append(node);
      continue;
    }
    if (row === null) { // neighbouring buttons share one card
      row = el("div", { class: "row" });
      main.append(el("div", { class: "card buttons" }, row));
    }
    row.append(node);
  }
}

function setStatus(state, text) {
  statusEl.dataset.robot = state;
  statusEl.textContent = text;
}

function showRobots(count) {
  if (count > 0) {
    setStatus("connected", count === 1 ? "robot connected" : `${count} robots connected`);
  } else {
    setStatus("disconnected", "no robot connected");
  }
}

function showRobotFrame(text) {
  let data;
  try { data = JSON.parse(text); } catch (e) { data = undefined; }
  if (data === null || typeof data !== "object" || Array.isArray(data)) {
    addMessage("robot", text);
    return;
  }
  for (const [id, entry] of Object.entries(data)) {
    const show = controls.get(id);
    const hasValue = entry !== null && typeof entry === "object" && "value" in entry;
    if (show && hasValue) show(entry.value);
    else addMessage("robot", `${id}: ${hasValue ? display(entry.value) : JSON.stringify(entry)}`);
  }
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  socket = new WebSocket(`${scheme}://${location.host}/page?id=${encodeURIComponent(panelId)}`);
  let robots = null;
  socket.addEventListener("message", (event) => {
    let msg;
    try { msg = JSON.parse(event.data); } catch (e) { return; }
    if (msg.type === "status") {
      if (robots !== null && msg.robots !== robots) {
        addMessage("event", msg.robots > robots ? "robot connected" : "robot disconnected");
      }
      robots = msg.robots;
      showRobots(msg.robots);
    } else if (msg.type === "data") {
      showRobotFrame(msg.text);
    } else if (msg.type === "error") {
      addMessage("error", msg.message);
    }
  });
  socket.addEventListener("close", (event) => {
    setStatus("offline", "server connection lost, retrying…");
    if (event.code !== 1000 && event.code !== 1006 && event.reason) {
      addMessage("error", `server closed the page's connection: ${event.reason}`);
    }
    setTimeout(connect, 1500);
  });
}

document.getElementById("panel-id").textContent = panelId || "–";
if (panelId) {
  build();
  connect();
} else {
  document.getElementById("choose").hidden = false;
  setStatus("offline", "no panel id chosen");
}
