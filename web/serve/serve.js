// serve.js - the site page: a tile per camera, refreshed from /api/status;
// pictures are asked for only while the page is visible, which is what
// makes the service paint them.
"use strict";

const tiles = new Map();  // camera name -> {root, img, triggers: Map(coil -> count), busy}
const STATUS_MS = 1000, PICTURE_MS = 500;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function duration(seconds) {
  seconds = Math.max(0, Math.floor(seconds));
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds / 3600) % 24, m = Math.floor(seconds / 60) % 60;
  const s = seconds % 60;
  return (d ? d + "d " : "") + (d || h ? h + "h " : "") + (d || h || m ? m + "m " : "") + s + "s";
}

function since(iso) {
  return iso ? duration((Date.now() - Date.parse(iso)) / 1000) : "";
}

function clock(iso) {
  return iso ? new Date(iso).toLocaleTimeString() : "never";
}

function makeTile(name) {
  const root = el("section", "tile");
  root.dataset.camera = name;
  const title = el("h2");
  // The coil editor for this camera, on a clip recorded from its stream.
  const edit = el("a", "edit", "Edit");
  edit.href = "cameras/" + encodeURIComponent(name) + "/edit/";
  edit.target = "_blank";
  edit.rel = "noopener";
  title.append(el("span", "name", name), edit, el("span", "state"));
  const img = el("img", "picture");
  img.alt = "latest frame of " + name;
  const facts = el("p", "facts"), message = el("p", "message");
  const table = el("table");
  const head = el("tr");
  const columns = [
    ["coil", ""], ["triggers", "reported since the camera started"],
    ["count", "triggers reported in the traffic interval still open"],
    ["occ.", "share of the open interval's frames the coil was present on"],
    ["health", "the coil's health state"], ["vehicles", "measured by the pair ending on this coil; the last speed"],
    ["last trigger", ""], ["present", ""]];
  for (const [h, tip] of columns) {
    const th = el("th", "", h);
    if (tip) th.title = tip;
    head.append(th);
  }
  table.append(head);
  root.append(title, img, facts, message, table);
  document.getElementById("tiles").append(root);
  return {root, img, facts, message, table, state: title.querySelector(".state"), triggers: new Map(), busy: false};
}

function showCamera(cam) {
  let t = tiles.get(cam.name);
  if (!t) { t = makeTile(cam.name); tiles.set(cam.name, t); }
  t.state.textContent = cam.state + (cam.state === "running" ? "" : " for " + since(cam.since));
  t.state.className = "state " + cam.state;
  t.facts.textContent = cam.fps.toFixed(1) + " fps · up " + (cam.running_since ? since(cam.running_since) : "-") +
      " · " + cam.frames + " frames, " + cam.frames_dropped + " dropped, " + cam.decode_errors + " decode errors, " +
      cam.reconnects + " reconnects · intervals of " + cam.stats_interval + " s";
  t.message.textContent = cam.message || "";
  while (t.table.rows.length > cam.coils.length + 1) t.table.deleteRow(-1);
  cam.coils.forEach((coil, i) => {
    let row = t.table.rows[i + 1];
    if (!row) {
      row = t.table.insertRow();
      row.append(el("td"), el("td", "num"), el("td", "num"), el("td", "num"), el("td"), el("td", "num"), el("td"),
                 el("td"));
      row.cells[7].append(el("span", "present"));
    }
    row.cells[0].textContent = coil.name;
    row.cells[1].textContent = coil.triggers;
    row.cells[2].textContent = coil.interval_count;
    row.cells[3].textContent = coil.interval_occupancy_percent === null ? "-" :
        coil.interval_occupancy_percent.toFixed(1) + " %";
    row.cells[4].textContent = coil.health;
    row.cells[4].className = "health " + coil.health;
    row.cells[5].textContent = coil.vehicles === null ? "" : coil.vehicles +
        (coil.last_speed_kmh === null ? "" : " · " + coil.last_speed_kmh.toFixed(0) + " km/h");
    row.cells[6].textContent = clock(coil.last_trigger);
    row.cells[7].firstChild.className = "present" + (coil.present ? " on" : "");
    const before = t.triggers.get(coil.name);
    if (before !== undefined && coil.triggers > before) {
      row.classList.remove("flash");
      void row.offsetWidth;  // restarts the animation
      row.classList.add("flash");
    }
    t.triggers.set(coil.name, coil.triggers);
  });
}

async function refreshStatus() {
  const error = document.getElementById("error");
  try {
    const res = await fetch("api/status", {cache: "no-store"});
    if (!res.ok) throw new Error("status: HTTP " + res.status);
    const status = await res.json();
    error.hidden = true;
    document.getElementById("uptime").textContent = "up " + duration(status.uptime);
    const names = new Set(status.cameras.map(c => c.name));
    for (const [name, t] of tiles) {
      if (!names.has(name)) { t.root.remove(); tiles.delete(name); }
    }
    status.cameras.forEach(showCamera);
    const msg = document.getElementById("reload-message");
    if (!status.reload.ok) { msg.textContent = status.reload.message; msg.className = "failed"; }
  } catch (e) {
    error.textContent = "The service does not answer (" + e.message + ")";
    error.hidden = false;
  }
}

async function refreshPicture(name, t) {
  if (t.busy) return;
  t.busy = true;
  try {
    const res = await fetch("api/cameras/" + encodeURIComponent(name) + "/picture", {cache: "no-store"});
    if (res.ok) {
      const url = URL.createObjectURL(await res.blob());
      const old = t.img.src;
      t.img.src = url;
      if (old.startsWith("blob:")) URL.revokeObjectURL(old);
    }
  } catch (e) {
    // the status line says when the service is gone
  } finally {
    t.busy = false;
  }
}

function refreshPictures() {
  if (document.hidden) return;
  for (const [name, t] of tiles) refreshPicture(name, t);
}

document.getElementById("reload").addEventListener("click", async () => {
  const msg = document.getElementById("reload-message");
  msg.textContent = "reloading...";
  msg.className = "";
  try {
    const res = await fetch("api/reload", {method: "POST", headers: {"Content-Type": "application/json"}, body: "{}"});
    const answer = await res.json();
    msg.textContent = answer.message || answer.error || "";
    msg.className = answer.ok ? "" : "failed";
  } catch (e) {
    msg.textContent = "reload failed: " + e.message;
    msg.className = "failed";
  }
  refreshStatus();
});

refreshStatus();
setInterval(refreshStatus, STATUS_MS);
setInterval(refreshPictures, PICTURE_MS);
