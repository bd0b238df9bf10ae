// The dashboard: polls /api/machines every two seconds and updates the page in place (rows are
// kept per machine id, so an open form, an expanded list or a focused box survives each poll).
// Every text that comes from a program (host names, status labels, divisor lines, task boxes)
// goes into the page with textContent or as an attribute value, never as markup.
"use strict";

(function () {
  const POLL_MS = 2000;
  const REQUEST_TIMEOUT_MS = 8000;
  const NARROW_NBSP = "\u202F";  // the thin separator between groups of three digits

  // The program's label at rest, which the state already says.
  const RESTING_LABEL = "Program does not work · Expects a new task...";

  const STATES = {
    "running": "running",
    "starting": "starting",
    "stopped": "stopped",
    "finished": "finished",
    "waiting-for-user": "waiting for its user",
    "unknown": "unknown",
  };

  // The token of actions: written into the page by the server; on another address than loopback
  // the page is opened with ?token=..., which also serves when the tag came empty.
  function readToken() {
    const meta = document.querySelector('meta[name="vontal-token"]');
    const fromMeta = meta ? meta.getAttribute("content") || "" : "";
    if (fromMeta) return fromMeta;
    return new URLSearchParams(window.location.search).get("token") || "";
  }
  const token = readToken();

  const $ = (id) => document.getElementById(id);

  // Sets a node's text only when it changed: no needless layout work on every poll.
  function setText(node, text) {
    const value = text == null ? "" : String(text);
    if (node.textContent !== value) node.textContent = value;
  }
  function setAttr(node, name, value) {
    if (value == null || value === "") {
      if (node.hasAttribute(name)) node.removeAttribute(name);
    } else if (node.getAttribute(name) !== String(value)) {
      node.setAttribute(name, String(value));
    }
  }
  function setClass(node, name, on) {
    if (node.classList.contains(name) !== !!on) node.classList.toggle(name, !!on);
  }

  // ---- Formatting --------------------------------------------------------------------------

  function isNumber(x) {
    return typeof x === "number" && Number.isFinite(x);
  }

  // Digits in groups of three with thin separators: 20000000000000 -> "20 000 000 000 000".
  function groupDigits(digits) {
    return digits.replace(/\B(?=(\d{3})+(?!\d))/g, NARROW_NBSP);
  }
  function formatInteger(x) {
    if (!isNumber(x)) return "—";
    const sign = x < 0 ? "-" : "";
    return sign + groupDigits(Math.round(Math.abs(x)).toLocaleString("en-US", { useGrouping: false }));
  }
  // A task box as typed: plain digits get their separators, anything else ("20e12") stays.
  function formatBox(text) {
    const s = text == null ? "" : String(text).trim();
    return /^\d+$/.test(s) ? groupDigits(s) : s;
  }
  // "n=50 to 60, k=20e12 to 30e12" in its two halves.
  function taskHalves(task, first, last, low, high) {
    if (!task) return ["—", ""];
    return ["n=" + formatBox(task[first]) + " to " + formatBox(task[last]) + ",",
            "k=" + formatBox(task[low]) + " to " + formatBox(task[high])];
  }
  function formatTask(task, first, last, low, high) {
    return taskHalves(task, first, last, low, high).join(" ").trim();
  }

  // A rate as mantissa and power of ten: [text, exponent or null]. Small rates stay plain.
  function rateParts(rate) {
    if (!isNumber(rate) || rate < 0) return null;
    if (rate < 10000) return { mantissa: formatInteger(rate), power: null };
    let power = Math.floor(Math.log10(rate));
    let mantissa = (rate / Math.pow(10, power)).toFixed(1);
    if (mantissa === "10.0") {  // 9.96e8 rounds up to the next power
      power += 1;
      mantissa = "1.0";
    }
    return { mantissa: mantissa, power: power };
  }
  // Writes "6.3·10⁸ k/s" into `node` (the power as a <sup>), or "—".
  function renderRate(node, rate) {
    const parts = rateParts(rate);
    const key = parts ? parts.mantissa + "|" + parts.power : "none";
    if (node.dataset.shown === key) return;
    node.dataset.shown = key;
    node.replaceChildren();
    if (!parts) {
      node.textContent = "—";
      return;
    }
    if (parts.power === null) {
      node.append(parts.mantissa + " k/s");
      return;
    }
    const sup = document.createElement("sup");
    sup.textContent = String(parts.power);
    node.append(parts.mantissa + "·10", sup, " k/s");
  }
  function rateText(rate) {
    const parts = rateParts(rate);
    if (!parts) return "—";
    return parts.power === null ? parts.mantissa + " k/s" : parts.mantissa + "·10^" + parts.power + " k/s";
  }

  function formatAgo(seconds) {
    if (!isNumber(seconds)) return "—";
    const s = Math.max(0, Math.round(seconds));
    if (s < 90) return s + " s ago";
    if (s < 90 * 60) return Math.round(s / 60) + " min ago";
    if (s < 36 * 3600) return Math.round(s / 3600) + " h ago";
    return Math.round(s / 86400) + " d ago";
  }

  function formatPercent(share) {
    if (!isNumber(share)) return "—";
    const p = Math.min(1, Math.max(0, share)) * 100;
    return (p >= 99.95 && share < 1 ? "99.9" : p.toFixed(1)) + " %";
  }

  // ---- Messages and the connection banner ----------------------------------------------------

  function say(text, kind) {
    const box = $("messages");
    const line = document.createElement("div");
    line.className = "message " + (kind || "info");
    const time = document.createElement("span");
    time.className = "message-time";
    time.textContent = new Date().toLocaleTimeString();
    line.append(time, " ", text);
    box.prepend(line);
    while (box.childElementCount > 5) box.lastElementChild.remove();
    // Old messages fade away; errors stay a little longer.
    setTimeout(() => line.remove(), kind === "error" ? 30000 : 12000);
  }

  let lastGood = null;
  function showBanner(text) {
    const banner = $("banner");
    setText(banner, text);
    banner.hidden = false;
    document.body.classList.add("stale");
  }
  function hideBanner() {
    $("banner").hidden = true;
    document.body.classList.remove("stale");
  }

  // ---- Requests ------------------------------------------------------------------------------

  async function request(method, path, body) {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), REQUEST_TIMEOUT_MS);
    const headers = { "Accept": "application/json" };
    if (token) headers["X-Vontal-Token"] = token;
    if (body !== undefined) headers["Content-Type"] = "application/json";
    try {
      const response = await fetch(path, {
        method: method,
        headers: headers,
        body: body === undefined ? undefined : JSON.stringify(body),
        cache: "no-store",
        signal: controller.signal,
      });
      let data = null;
      try {
        data = await response.json();
      } catch (e) {
        data = null;
      }
      return { status: response.status, ok: response.ok, data: data };
    } finally {
      clearTimeout(timer);
    }
  }

  function errorText(reply) {
    const detail = reply.data && typeof reply.data.error === "string" ? reply.data.error : "";
    const meaning = {
      400: "the server did not accept the values",
      403: "refused: the page has no valid token",
      404: "this machine is no longer known",
      409: "the machine does not allow this now",
    }[reply.status] || "the server answered " + reply.status;
    return detail ? meaning + " (" + detail + ")" : meaning;
  }

  // Sends an action; the result shows at the next poll, the message line says what happened.
  async function act(path, body, what) {
    try {
      const reply = await request("POST", path, body === undefined ? {} : body);
      if (reply.ok) {
        say(what + ": sent", "ok");
        schedulePoll(300);
        return true;
      }
      say(what + ": " + errorText(reply), "error");
    } catch (e) {
      say(what + ": the server does not answer", "error");
    }
    return false;
  }

  // ---- Machines --------------------------------------------------------------------------------

  const rows = new Map();  // machine id -> its row objects
  let machinesById = new Map();

  function machineName(m) {
    return m.host || m.address || m.id;
  }

  function createRow(id) {
    const tr = $("machine-row").content.firstElementChild.cloneNode(true);
    tr.dataset.id = id;
    const q = (sel) => tr.querySelector(sel);
    const row = {
      tr: tr,
      formRow: null,
      host: q(".host-name"),
      address: q(".address"),
      taskN: q(".task-n"),
      taskK: q(".task-k"),
      assigned: q(".assigned"),
      exponent: q(".exponent"),
      k: q(".k"),
      barFill: q(".bar-fill"),
      percent: q(".percent"),
      rate: q(".rate"),
      pill: q(".pill"),
      status: q(".status"),
      divisors: q(".divisors"),
      seen: q(".seen"),
      buttons: {
        continue: q('[data-action="continue"]'),
        stop: q('[data-action="stop"]'),
        start: q('[data-action="start"]'),
        next: q('[data-action="next"]'),
      },
      autostart: q('[data-action="autostart"]'),
      divisorKey: null,
      divisorButton: null,
      divisorRow: null,
    };
    for (const action of ["continue", "stop", "start"]) {
      row.buttons[action].addEventListener("click", () => {
        const m = machinesById.get(id);
        const button = row.buttons[action];
        button.disabled = true;  // until the next poll says again what the machine allows
        act("/api/machines/" + encodeURIComponent(id) + "/" + action, undefined,
            button.textContent + " on " + (m ? machineName(m) : id));
      });
    }
    row.autostart.addEventListener("change", (event) => {
      const m = machinesById.get(id);
      // The switch shows the machine's real state once the program has toggled its entry.
      event.target.checked = !event.target.checked;
      event.target.disabled = true;
      act("/api/machines/" + encodeURIComponent(id) + "/autostart", undefined,
          "Autostart on " + (m ? machineName(m) : id));
    });
    row.buttons.next.addEventListener("click", () => toggleTaskForm(id));
    return row;
  }

  function toggleTaskForm(id) {
    const row = rows.get(id);
    if (!row) return;
    if (row.formRow) {
      row.formRow.remove();
      row.formRow = null;
      setClass(row.tr, "expanded", !!row.divisorRow);
      return;
    }
    const m = machinesById.get(id);
    const formRow = $("task-row").content.firstElementChild.cloneNode(true);
    formRow.dataset.for = id;
    const form = formRow.querySelector("form");
    setText(formRow.querySelector(".form-host"), m ? machineName(m) : id);
    // Starts from the boxes the machine shows now: usually only one or two values change.
    if (m && m.task) {
      form.elements.nFirst.value = m.task.nMin || "";
      form.elements.nLast.value = m.task.nMax || "";
      form.elements.kLow.value = m.task.kMin || "";
      form.elements.kHigh.value = m.task.kMax || "";
    }
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      const current = machinesById.get(id);
      const ok = await act("/api/machines/" + encodeURIComponent(id) + "/task", taskFromForm(form),
                           "Next task for " + (current ? machineName(current) : id));
      if (ok) toggleTaskForm(id);
    });
    formRow.querySelector('[data-action="cancel"]').addEventListener("click", () => toggleTaskForm(id));
    row.formRow = formRow;
    placeRows(row);
    setClass(row.tr, "expanded", true);
    form.elements.nFirst.focus();
  }

  function taskFromForm(form) {
    return {
      nFirst: form.elements.nFirst.value.trim(),
      nLast: form.elements.nLast.value.trim(),
      kLow: form.elements.kLow.value.trim(),
      kHigh: form.elements.kHigh.value.trim(),
    };
  }

  // The divisor cell: the count, its lines on hover, and a button that opens them in a row of
  // their own below the machine (a list inside the cell would stretch the whole row).
  function renderDivisors(row, m) {
    const cell = row.divisors;
    const lines = Array.isArray(m.divisors) ? m.divisors.map(String) : [];
    const count = isNumber(m.divisorCount) ? m.divisorCount : null;
    const key = JSON.stringify([count, lines]);
    if (row.divisorKey === key) return;
    row.divisorKey = key;
    setClass(cell, "found", count !== null && count > 0);
    if (count === null || count === 0 || lines.length === 0) {
      cell.replaceChildren(count === null ? "—" : formatInteger(count));
      cell.title = count === null ? "unknown: this program does not report its divisors" : "";
      if (row.divisorRow) toggleDivisorRow(row);
      return;
    }
    cell.title = lines.join("\n");
    if (!row.divisorButton) {
      row.divisorButton = document.createElement("button");
      row.divisorButton.type = "button";
      row.divisorButton.className = "link count";
      row.divisorButton.dataset.action = "divisors";
      row.divisorButton.setAttribute("aria-expanded", "false");
      row.divisorButton.addEventListener("click", () => toggleDivisorRow(row));
    }
    setText(row.divisorButton, formatInteger(count));
    if (cell.firstChild !== row.divisorButton || cell.childNodes.length !== 1) cell.replaceChildren(row.divisorButton);
    if (row.divisorRow) fillDivisorRow(row, count, lines);
  }

  function fillDivisorRow(row, count, lines) {
    const list = row.divisorRow.querySelector(".divisor-list");
    list.replaceChildren();
    for (const line of lines) {
      const item = document.createElement("li");
      item.textContent = line;
      list.append(item);
    }
    setText(row.divisorRow.querySelector(".divisor-note"),
            count > lines.length ? "the last " + lines.length + " of " + formatInteger(count) + " divisors" : "");
  }

  function toggleDivisorRow(row) {
    if (row.divisorRow) {
      row.divisorRow.remove();
      row.divisorRow = null;
    } else {
      const m = machinesById.get(row.tr.dataset.id);
      if (!m) return;
      row.divisorRow = $("divisor-row").content.firstElementChild.cloneNode(true);
      setText(row.divisorRow.querySelector(".divisor-host"), machineName(m));
      fillDivisorRow(row, m.divisorCount, Array.isArray(m.divisors) ? m.divisors.map(String) : []);
      placeRows(row);
    }
    if (row.divisorButton) row.divisorButton.setAttribute("aria-expanded", row.divisorRow ? "true" : "false");
    setClass(row.tr, "expanded", !!(row.divisorRow || row.formRow));
  }

  // A machine's rows in their order: the machine, its divisors, its next-task form.
  function machineRows(row) {
    return [row.tr, row.divisorRow, row.formRow].filter(Boolean);
  }
  function placeRows(row) {
    let after = row.tr;
    for (const tr of machineRows(row).slice(1)) {
      if (after.nextElementSibling !== tr) after.after(tr);
      after = tr;
    }
  }

  function updateRow(row, m) {
    const connected = m.connected !== false;
    const state = STATES[m.state] ? m.state : "unknown";
    setClass(row.tr, "offline", !connected);
    setAttr(row.tr, "data-state", state);

    setText(row.host, machineName(m));
    setText(row.address, m.host && m.address && m.host !== m.address ? m.address : "");

    const [taskN, taskK] = taskHalves(m.task, "nMin", "nMax", "kMin", "kMax");
    setText(row.taskN, taskN);
    setText(row.taskK, taskK);
    setText(row.assigned, m.assignedTask ? "next: " + formatTask(m.assignedTask, "nFirst", "nLast", "kLow", "kHigh") : "");

    setText(row.exponent, isNumber(m.exponent) ? "n=" + m.exponent : "n —");
    setText(row.k, isNumber(m.kReached) ? "k=" + formatInteger(m.kReached) : "k —");

    const share = isNumber(m.shareDone) ? Math.min(1, Math.max(0, m.shareDone)) : null;
    const width = share === null ? "0%" : (share * 100).toFixed(2) + "%";
    if (row.barFill.style.width !== width) row.barFill.style.width = width;
    setText(row.percent, formatPercent(m.shareDone));

    renderRate(row.rate, state === "running" ? m.rate : null);

    setText(row.pill, connected ? STATES[state] : "not connected");
    setAttr(row.pill, "data-state", connected ? state : "offline");
    // The program's own label, where it says more than the columns: while starting, or anything
    // unusual it reports (not its k and rate while running, nor its usual words at rest).
    const status = typeof m.status === "string" ? m.status : "";
    const statusLine = status.split("\n").map((s) => s.trim()).filter(Boolean).join(" · ");
    setText(row.status, state === "running" || statusLine === RESTING_LABEL ? "" : statusLine);
    setAttr(row.pill, "title", status);
    setAttr(row.status, "title", status);

    renderDivisors(row, m);

    setText(row.seen, connected ? formatAgo(m.secondsSinceSeen) : formatAgo(m.secondsSinceSeen));
    setAttr(row.seen, "title", m.lastSeen || "");

    const commands = m.commands || {};
    row.buttons.continue.disabled = !(connected && commands.continue === true);
    row.buttons.stop.disabled = !(connected && commands.stop === true);
    row.buttons.start.disabled = !(connected && commands.start === true);
    row.buttons.next.disabled = !connected && !row.formRow;
    row.autostart.checked = m.autostart === true;
    row.autostart.disabled = !connected;
  }

  // By host, then address, then id, numbers by their value (port 9000 before port 10000): a
  // machine keeps its place from one poll to the next.
  const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: "base" });
  function compareMachines(a, b) {
    return collator.compare(String(machineName(a)), String(machineName(b))) ||
           collator.compare(String(a.address || ""), String(b.address || "")) ||
           collator.compare(String(a.id), String(b.id));
  }

  function renderMachines(machines) {
    const body = $("machine-rows");
    const list = machines.filter((m) => m && typeof m.id === "string").slice().sort(compareMachines);
    machinesById = new Map(list.map((m) => [m.id, m]));

    for (const [id, row] of rows) {
      if (!machinesById.has(id)) {
        for (const tr of machineRows(row)) tr.remove();
        rows.delete(id);
      }
    }
    // Rows move only when the order really changes, so that a focused box keeps its focus.
    let at = body.firstElementChild;
    for (const m of list) {
      let row = rows.get(m.id);
      if (!row) {
        row = createRow(m.id);
        rows.set(m.id, row);
      }
      updateRow(row, m);
      for (const tr of machineRows(row)) {
        if (at !== tr) body.insertBefore(tr, at);
        at = tr.nextElementSibling;
      }
    }
    $("no-machines").hidden = list.length > 0;
  }

  // ---- Queue -----------------------------------------------------------------------------------

  let queueKey = null;
  function renderQueue(queue) {
    const key = JSON.stringify(queue);
    if (key === queueKey) return;
    queueKey = key;
    const body = $("queue-rows");
    body.replaceChildren();
    queue.forEach((task, index) => {
      const tr = document.createElement("tr");
      const number = document.createElement("td");
      number.className = "num";
      number.textContent = String(index + 1);
      const text = document.createElement("td");
      text.textContent = formatTask(task, "nFirst", "nLast", "kLow", "kHigh");
      const actions = document.createElement("td");
      const remove = document.createElement("button");
      remove.type = "button";
      remove.className = "link danger";
      remove.dataset.action = "delete";
      remove.textContent = "Delete";
      remove.addEventListener("click", () => {
        remove.disabled = true;
        act("/api/queue/" + index + "/delete", undefined,
            "Delete " + formatTask(task, "nFirst", "nLast", "kLow", "kHigh") + " from the queue");
      });
      actions.append(remove);
      tr.append(number, text, actions);
      body.append(tr);
    });
    $("queue-empty").hidden = queue.length > 0;
    body.closest("table").hidden = queue.length === 0;
  }

  $("queue-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const form = event.target;
    const task = taskFromForm(form);
    if (await act("/api/queue", task, "Add " + formatTask(task, "nFirst", "nLast", "kLow", "kHigh") + " to the queue")) {
      form.reset();
    }
  });

  // ---- Header ----------------------------------------------------------------------------------

  function renderHeader(data, machines) {
    renderRate($("fleet-rate"), isNumber(data.fleetRate) ? data.fleetRate : null);
    const connected = machines.filter((m) => m.connected !== false);
    const running = connected.filter((m) => m.state === "running").length;
    const waiting = connected.filter((m) => m.state === "waiting-for-user").length;
    let count = connected.length + (connected.length === 1 ? " machine" : " machines") + ", " + running + " running";
    if (waiting) count += ", " + waiting + " waiting";
    const offline = machines.length - connected.length;
    if (offline) count += ", " + offline + " away";
    setText($("fleet-count"), count);
    const counts = machines.map((m) => m.divisorCount);
    const known = counts.filter(isNumber);
    const total = known.reduce((a, b) => a + b, 0);
    setText($("fleet-divisors"), known.length ? formatInteger(total) + (known.length < counts.length ? "+" : "") : "—");
    setAttr($("fleet-divisors"), "title", known.length < counts.length
      ? (counts.length - known.length) + " of the machines do not report their divisors" : "");
    setClass($("fleet-divisors"), "found", total > 0);
    const version = typeof data.serverVersion === "string" ? "vontal-server " + data.serverVersion + " · " : "";
    setText($("updated"), version + "updated " + new Date().toLocaleTimeString());
    const title = "Vontal: " + rateText(data.fleetRate) + ", " + running + " running";
    if (document.title !== title) document.title = title;
  }

  // ---- Polling ---------------------------------------------------------------------------------

  let pollTimer = null;
  let polling = false;
  function schedulePoll(delay) {
    if (pollTimer !== null) clearTimeout(pollTimer);
    pollTimer = setTimeout(poll, delay);
  }

  async function poll() {
    pollTimer = null;
    if (polling) return;
    polling = true;
    try {
      const reply = await request("GET", "/api/machines");
      if (reply.status === 403) {
        showBanner("The server refuses this page: open it with the address that carries ?token=…");
      } else if (!reply.ok || !reply.data || !Array.isArray(reply.data.machines)) {
        showBanner("The server answered " + reply.status + ": retrying every few seconds");
      } else {
        const machines = reply.data.machines;
        renderMachines(machines);
        renderQueue(Array.isArray(reply.data.queue) ? reply.data.queue : []);
        renderHeader(reply.data, machines);
        lastGood = new Date();
        hideBanner();
      }
    } catch (e) {
      showBanner("Connection lost: the server does not answer" +
                 (lastGood ? " (last answer at " + lastGood.toLocaleTimeString() + ")" : "") + ". Retrying…");
    } finally {
      polling = false;
      if (pollTimer === null) schedulePoll(POLL_MS);
    }
  }

  poll();
})();
