// editor.js - the coil editor page. It talks only to the editor's JSON API
// (see docs/editor.md); the server validates, saves and runs the detector.
"use strict";

const $ = (id) => document.getElementById(id);

const state = {
  info: null,
  doc: { areas: [] },      // the areas document being edited
  version: "",             // of the file this page loaded or last saved
  rows: [],                // per coil: [y, left, right] rows the detector covers
  selected: -1,
  adding: null,            // corners clicked so far while adding a coil
  drag: null,              // {coil, vertex} while a corner is dragged
  time: 0,
  dirty: false,
  test: null,              // the last /api/test answer
  frameTimes: [],          // the time of each of `run`'s frames: index i is run's frame i
  frame: 0,                // the index of the frame on screen
  marks: [],               // passages: {frame, area (a coil of state.doc.areas), name}
  selectedMark: null,
  pairEnds: new Map(),     // pair -> {from, to}: the coil objects it joins
};

async function api(method, path, body, headers) {
  const init = { method, headers: Object.assign({}, headers || {}) };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  const type = res.headers.get("Content-Type") || "";
  const data = type.startsWith("application/json") ? await res.json() : null;
  if (!res.ok) throw new Error((data && data.error) || res.status + " " + res.statusText);
  return data;
}

function message(id, text, kind) {
  const el = $(id);
  el.textContent = text;
  el.className = kind || "";
}

function setDirty(on) {
  state.dirty = on;
  $("dirty").hidden = !on;
}

// ---------------------------------------------------------------- frames

const frameStep = () => 1 / (state.info ? state.info.fps : 25);
const frameCount = () => state.frameTimes.length;
let frameLoading = false, frameWanted = null;

// The index of the frame on screen at `t`: the last one starting at or
// before it (the first one before the video's first frame).
function frameAtTime(t) {
  const times = state.frameTimes;
  let lo = 0, hi = times.length - 1;
  if (hi < 0 || t <= times[0]) return 0;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (times[mid] <= t + 1e-6) lo = mid; else hi = mid - 1;
  }
  return lo;
}

function showTime(t) {
  showFrame(frameAtTime(t));
}

// Frames are counted as `run` counts them: the slider's steps are the
// video's own frames, whatever their spacing in time.
function showFrame(i) {
  i = Math.min(Math.max(0, Math.round(i)), Math.max(0, frameCount() - 1));
  state.frame = i;
  state.time = state.frameTimes.length ? state.frameTimes[i] : 0;
  $("time").value = i;
  frameWanted = i;
  renderMarkLanes();
  if (!frameLoading) loadFrame();
}

// One frame request at a time; a slider dragged meanwhile asks for the
// latest position only.
function loadFrame() {
  if (frameWanted === null) return;
  const i = frameWanted, t = state.frameTimes[i] || 0;
  frameWanted = null;
  frameLoading = true;
  const img = $("frame");
  let note = "";
  img.onload = img.onerror = () => {
    frameLoading = false;
    $("time-label").textContent = t.toFixed(3) + " s  frame " + i + note;
    loadFrame();
  };
  if (!$("light-view").checked) {
    img.src = "api/frame?t=" + t.toFixed(6);
    return;
  }
  // The light view is drawn by the server, as `frame --light` draws it,
  // for the coils and settings on the page.
  fetch("api/light", { method: "POST", headers: { "Content-Type": "application/json" },
                        body: JSON.stringify({ areas: state.doc, frame: i }) })
    .then(async (res) => {
      if (!res.ok) throw new Error((await res.json()).error);
      note = res.headers.get("X-Light-Tested") === "1" ? "  (light test ran)" : "";
      const old = img.src;
      img.src = URL.createObjectURL(await res.blob());
      if (old.startsWith("blob:")) URL.revokeObjectURL(old);
    })
    .catch((e) => { message("test-message", "light view: " + e.message, "error"); img.onload(); });
}

// ---------------------------------------------------------------- drawing

const canvas = () => $("overlay");
const colours = ["#00e5ff", "#ffea00", "#ff4081", "#76ff03", "#ff9100", "#e040fb", "#18ffff", "#ffffff"];

function draw() {
  // The canvas holds a whole number of its pixels per picture pixel, at
  // least as many as the screen shows, so that lines and names stay sharp;
  // everything is drawn in picture coordinates.
  const c = canvas(), w = state.info.width, h = state.info.height;
  const shown = c.getBoundingClientRect().width || w;
  const k = Math.max(1, Math.min(8, Math.ceil((shown * (window.devicePixelRatio || 1)) / w)));
  if (c.width !== w * k) { c.width = w * k; c.height = h * k; }
  const g = c.getContext("2d");
  g.setTransform(1, 0, 0, 1, 0, 0);
  g.clearRect(0, 0, c.width, c.height);
  g.setTransform(k, 0, 0, k, 0, 0);
  const px = w / shown;   // one screen pixel in picture pixels
  state.doc.areas.forEach((a, i) => {
    const col = colours[i % colours.length];
    g.globalAlpha = i === state.selected ? 0.45 : 0.28;
    g.fillStyle = col;
    for (const [y, l, r] of state.rows[i] || []) g.fillRect(l, y, r - l + 1, 1);
    g.globalAlpha = 1;
    g.strokeStyle = col;
    g.lineWidth = (i === state.selected ? 2 : 1) * px;
    g.beginPath();
    a.vertices.forEach(([x, y], k) => (k ? g.lineTo(x + 0.5, y + 0.5) : g.moveTo(x + 0.5, y + 0.5)));
    g.closePath();
    g.stroke();
    g.fillStyle = col;
    for (const [x, y] of a.vertices) g.fillRect(x - 3 * px, y - 3 * px, 7 * px, 7 * px);
    g.font = 12 * px + "px sans-serif";
    g.fillText(a.name, a.vertices[0][0] + 5 * px, a.vertices[0][1] - 5 * px);
  });
  drawPairs(g, px);
  if (state.adding) {
    g.strokeStyle = "#fff";
    g.fillStyle = "#fff";
    g.lineWidth = px;
    g.beginPath();
    state.adding.forEach(([x, y], k) => (k ? g.lineTo(x, y) : g.moveTo(x, y)));
    g.stroke();
    for (const [x, y] of state.adding) g.fillRect(x - 3 * px, y - 3 * px, 7 * px, 7 * px);
  }
}

// The middle of a coil's four corners, in picture pixels.
function centre(a) {
  const v = a.vertices;
  return [v.reduce((s, p) => s + p[0], 0) / v.length, v.reduce((s, p) => s + p[1], 0) / v.length];
}

// Each pair as an arrow from its "from" coil to its "to" coil, with the
// distance between them as written in the areas file.
function drawPairs(g, px) {
  for (const p of state.doc.pairs || []) {
    const from = state.doc.areas.find((a) => a.name === p.from);
    const to = state.doc.areas.find((a) => a.name === p.to);
    if (!from || !to || from === to) continue;
    const [x0, y0] = centre(from), [x1, y1] = centre(to);
    const len = Math.hypot(x1 - x0, y1 - y0);
    if (len < 1) continue;
    const ux = (x1 - x0) / len, uy = (y1 - y0) / len, head = Math.min(12 * px, len / 3);
    g.strokeStyle = "#fff";
    g.fillStyle = "#fff";
    g.lineWidth = 2 * px;
    g.beginPath();
    g.moveTo(x0, y0);
    g.lineTo(x1 - ux * head, y1 - uy * head);
    g.stroke();
    g.beginPath();
    g.moveTo(x1, y1);
    g.lineTo(x1 - ux * head - uy * head / 2, y1 - uy * head + ux * head / 2);
    g.lineTo(x1 - ux * head + uy * head / 2, y1 - uy * head - ux * head / 2);
    g.closePath();
    g.fill();
    g.font = 12 * px + "px sans-serif";
    const label = (p.name ? p.name + ": " : "") + p.distance + " m";
    g.fillText(label, (x0 + x1) / 2 + 6 * px, (y0 + y1) / 2 - 6 * px);
  }
}

// Pairs name their coils. Each pair is tied to the coil objects its names
// meant when the file was loaded, so that a renamed coil takes its pairs
// along and a deleted one takes them away (saying so): Save never fails
// over a pair the page itself broke.
function bindPairs() {
  state.pairEnds = new Map();
  for (const p of state.doc.pairs || []) {
    state.pairEnds.set(p, {
      from: state.doc.areas.find((a) => a.name === p.from),
      to: state.doc.areas.find((a) => a.name === p.to),
    });
  }
}

function renameInPairs(coil) {
  for (const [p, ends] of state.pairEnds) {
    if (ends.from === coil) p.from = coil.name;
    if (ends.to === coil) p.to = coil.name;
  }
}

function removePairsOf(coil) {
  const gone = [...state.pairEnds].filter(([, e]) => e.from === coil || e.to === coil).map(([p]) => p);
  if (!gone.length) return "";
  for (const p of gone) state.pairEnds.delete(p);
  state.doc.pairs = state.doc.pairs.filter((p) => !gone.includes(p));
  if (!state.doc.pairs.length) delete state.doc.pairs;
  return "Removed with the coil: pair " + gone.map((p) => '"' + p.name + '"').join(", ") +
    " (Reload brings it back until you save).";
}

// The detector's own rows for the coils as they are now (debounced).
// An answer clears only the error an earlier answer showed: a save's
// message (or a removed pair's) may have come in meanwhile and stays.
let rowsTimer = null;
let rowsError = null;
function refreshRows() {
  clearTimeout(rowsTimer);
  rowsTimer = setTimeout(async () => {
    if (!state.doc.areas.length) { state.rows = []; draw(); return; }
    try {
      const answer = await api("POST", "api/rows", state.doc);
      state.rows = answer.rows;
      if (rowsError !== null && $("save-message").textContent === rowsError) message("save-message", "");
      rowsError = null;
    } catch (e) {
      state.rows = [];
      rowsError = e.message;
      message("save-message", e.message, "error");
    }
    draw();
  }, 60);
}

// ---------------------------------------------------------------- mouse

function picturePoint(ev) {
  const r = canvas().getBoundingClientRect();
  return [Math.floor(((ev.clientX - r.left) * state.info.width) / r.width),
          Math.floor(((ev.clientY - r.top) * state.info.height) / r.height)];
}

function vertexAt(p) {
  const reach = (8 * state.info.width) / canvas().getBoundingClientRect().width;
  let best = null, bestD = reach;
  state.doc.areas.forEach((a, i) => a.vertices.forEach(([x, y], k) => {
    const d = Math.hypot(x - p[0], y - p[1]);
    if (d <= bestD) { best = { coil: i, vertex: k }; bestD = d; }
  }));
  return best;
}

function insideCoil(p) {
  for (let i = state.doc.areas.length - 1; i >= 0; --i) {
    const v = state.doc.areas[i].vertices;
    let inside = false;
    for (let k = 0, j = 3; k < 4; j = k++) {
      const [xi, yi] = v[k], [xj, yj] = v[j];
      if ((yi > p[1]) !== (yj > p[1]) && p[0] < ((xj - xi) * (p[1] - yi)) / (yj - yi) + xi) inside = !inside;
    }
    if (inside) return i;
  }
  return -1;
}

function onMouseDown(ev) {
  if (ev.button !== 0) return;
  ev.preventDefault();
  const p = picturePoint(ev);
  if (state.adding) {
    state.adding.push(p);
    if (state.adding.length === 4) {
      const n = state.doc.areas.length;
      state.doc.areas.push({ name: uniqueName(), vertices: state.adding, threshold: 0.1 });
      endAdding();
      select(n);
      changed();
    }
    draw();
    return;
  }
  if (ev.ctrlKey || ev.altKey || ev.metaKey) {
    const coil = insideCoil(p);
    if (coil >= 0) addMark(coil);
    return;
  }
  const hit = vertexAt(p);
  if (hit) {
    state.drag = hit;
    select(hit.coil);
  } else {
    select(insideCoil(p));
  }
}

function onMouseMove(ev) {
  if (!state.drag) return;
  const p = picturePoint(ev);
  state.doc.areas[state.drag.coil].vertices[state.drag.vertex] = p;
  draw();
  refreshRows();
}

function onMouseUp() {
  if (!state.drag) return;
  state.drag = null;
  changed();
}

function uniqueName() {
  const names = new Set(state.doc.areas.map((a) => a.name));
  for (let n = state.doc.areas.length + 1; ; ++n) if (!names.has("coil " + n)) return "coil " + n;
}

function startAdding() {
  state.adding = [];
  $("add-hint").hidden = false;
}

function endAdding() {
  state.adding = null;
  $("add-hint").hidden = true;
  draw();
}

// ---------------------------------------------------------------- coil list

function select(i) {
  state.selected = i;
  document.querySelectorAll("#coils tbody tr").forEach((tr, k) => tr.classList.toggle("selected", k === i));
  draw();
}

function changed() {
  setDirty(true);
  renderCoils();
  refreshRows();
}

function renderCoils() {
  const body = $("coils").querySelector("tbody");
  body.textContent = "";
  state.doc.areas.forEach((a, i) => {
    const tr = document.createElement("tr");
    tr.className = "coil" + (i === state.selected ? " selected" : "");
    const num = document.createElement("td");
    num.textContent = i;
    const name = document.createElement("input");
    name.type = "text";
    name.className = "coil-name";
    name.value = a.name;
    name.addEventListener("input", () => {
      a.name = name.value;
      renameInPairs(a);
      setDirty(true);
      draw();
      renderMarks();
    });
    const th = document.createElement("input");
    th.type = "number";
    th.className = "coil-threshold";
    th.step = "0.01";
    th.min = "0";
    th.value = a.threshold === undefined ? "" : a.threshold;
    th.addEventListener("input", () => {
      if (th.value === "") delete a.threshold;
      else a.threshold = Number(th.value);
      setDirty(true);
    });
    const del = document.createElement("button");
    del.type = "button";
    del.className = "coil-delete";
    del.textContent = "delete";
    del.addEventListener("click", () => deleteCoil(i));
    for (const el of [name, th, del]) el.addEventListener("focus", () => select(i));
    const cells = [num, name, th, del].map((el) => {
      if (el.tagName === "TD") return el;
      const td = document.createElement("td");
      td.appendChild(el);
      return td;
    });
    cells.forEach((td) => tr.appendChild(td));
    tr.addEventListener("click", () => select(i));
    body.appendChild(tr);
  });
}

function deleteCoil(i) {
  if (i < 0 || i >= state.doc.areas.length) return;
  const [gone] = state.doc.areas.splice(i, 1);
  const removed = removePairsOf(gone);
  if (removed) message("save-message", removed);
  state.rows.splice(i, 1);
  state.selected = -1;
  changed();
  renderMarks();
}

// ---------------------------------------------------------------- marks

// A mark belongs to a coil object, so that renaming the coil or deleting
// another one keeps it on its coil. One without a coil (its coil was
// deleted, or the truth file names a coil the page does not have yet)
// keeps its name, takes the coil of that name (or index, as in the file)
// when there is one again, and is refused by the server until then.
const markAlive = (m) => state.doc.areas.includes(m.area);

function attachMarks() {
  for (const m of state.marks) {
    if (markAlive(m)) continue;
    m.area = state.doc.areas.find((a) => a.name === m.name) ||
      (/^[0-9]+$/.test(m.name) ? state.doc.areas[Number(m.name)] : undefined) || null;
  }
}
const markCoilName = (m) => (markAlive(m) ? m.area.name : m.name);

function addMark(coil) {
  const area = state.doc.areas[coil];
  if (!area) return;
  let mark = state.marks.find((m) => m.area === area && m.frame === state.frame);
  if (!mark) {
    mark = { frame: state.frame, area, name: area.name };
    state.marks.push(mark);
  }
  state.selectedMark = mark;
  marksChanged();
}

function deleteMark(mark) {
  state.marks = state.marks.filter((m) => m !== mark);
  if (state.selectedMark === mark) state.selectedMark = null;
  marksChanged();
}

function marksChanged() {
  state.marks.sort((a, b) => a.frame - b.frame);
  $("marks-dirty").hidden = false;
  $("tune").hidden = !(state.info.truth_file || state.marks.length);
  $("search").hidden = $("tune").hidden;
  renderMarks();
}

// What Test, Tune and Save send: every mark, by its coil's name.
function marksForServer() {
  attachMarks();
  return state.marks.map((m) => ({ frame: m.frame, coil: markCoilName(m) }));
}
const labelling = () => Boolean(state.info.truth_file || state.marks.length);

function renderMarks() {
  attachMarks();
  for (const m of state.marks) if (markAlive(m)) m.name = m.area.name;
  const body = $("marks").querySelector("tbody");
  body.textContent = "";
  for (const m of state.marks) {
    const tr = document.createElement("tr");
    tr.className = "passage" + (m === state.selectedMark ? " selected" : "") + (markAlive(m) ? "" : " orphan");
    tr.dataset.frame = m.frame;
    const frame = document.createElement("input");
    frame.type = "number";
    frame.className = "mark-frame";
    frame.min = "0";
    frame.step = "1";
    frame.value = m.frame;
    frame.title = "move: another frame number";
    frame.addEventListener("change", () => {
      if (frame.value === "") return;
      m.frame = Number(frame.value);
      state.selectedMark = m;
      marksChanged();
      showFrame(m.frame);
    });
    const coil = document.createElement("span");
    coil.textContent = markCoilName(m) + (markAlive(m) ? "" : " (deleted coil)");
    const del = document.createElement("button");
    del.type = "button";
    del.className = "mark-delete";
    del.textContent = "delete";
    del.addEventListener("click", () => deleteMark(m));
    for (const el of [frame, coil, del]) {
      const td = document.createElement("td");
      td.appendChild(el);
      tr.appendChild(td);
    }
    coil.parentNode.addEventListener("click", () => { state.selectedMark = m; showFrame(m.frame); renderMarks(); });
    body.appendChild(tr);
  }
  $("marks-count").textContent = "(" + state.marks.length + ")";
  renderMarkLanes();
}

// One lane per coil under the picture: its marks over the whole clip and
// the frame on screen.
function renderMarkLanes() {
  const box = $("mark-lanes");
  if (!box || !state.info) return;
  box.textContent = "";
  const n = Math.max(1, frameCount() - 1);
  const pos = (frame) => (100 * Math.min(frame, n)) / n + "%";
  state.doc.areas.forEach((a, i) => {
    const lane = document.createElement("div");
    lane.className = "lane";
    lane.dataset.area = i;
    const label = document.createElement("span");
    label.className = "label";
    label.textContent = (i < 9 ? "key " + (i + 1) + ": " : "") + a.name;
    const now = document.createElement("span");
    now.className = "now";
    now.style.left = pos(state.frame);
    lane.append(label, now);
    for (const m of state.marks) {
      if (m.area !== a) continue;
      const b = document.createElement("button");
      b.type = "button";
      b.className = "mark passage" + (m === state.selectedMark ? " selected" : "");
      b.style.left = pos(m.frame);
      b.title = "vehicle enters " + a.name + " at frame " + m.frame;
      b.dataset.frame = m.frame;
      b.addEventListener("click", () => { state.selectedMark = m; showFrame(m.frame); renderMarks(); });
      lane.appendChild(b);
    }
    box.appendChild(lane);
  });
}

// The truth file's rows onto the page's coils: by name, else by index.
async function loadMarks() {
  const t = await api("GET", "api/truth");
  state.marks = [];
  for (const r of t.rows) state.marks.push({ frame: r.frame, area: null, name: r.area });
  state.selectedMark = null;
  marksChanged();
  $("marks-dirty").hidden = true;
  if (t.error) message("marks-message", t.error, "error");
  else if (t.path && !t.exists) message("marks-message", "The truth file does not exist yet: Save marks creates it.");
  else message("marks-message", "");
}

async function saveMarks() {
  try {
    const r = await api("PUT", "api/truth", { areas: state.doc, marks: marksForServer() });
    if (r.written) $("marks-dirty").hidden = true;
    message("marks-message", r.message, r.written ? "ok" : "");
  } catch (e) {
    message("marks-message", e.message, "error");
  }
}

// ---------------------------------------------------------------- settings

function settingsToForm() {
  const s = state.doc.settings || {};
  const light = s.light || {};
  for (const input of $("settings").elements) {
    if (!input.name) continue;
    const [key, sub] = input.name.split(".");
    const value = sub ? light[sub] : s[key];
    if (input.type === "checkbox") input.checked = value === true;
    else input.value = value === undefined ? "" : value;
  }
}

function formToSettings(input) {
  const s = state.doc.settings || (state.doc.settings = {});
  const [key, sub] = input.name.split(".");
  let value;
  if (input.type === "checkbox") value = input.checked;
  else value = input.value === "" ? undefined : Number(input.value);
  if (sub) {
    const light = s.light || (s.light = {});
    if (value === undefined) delete light[sub]; else light[sub] = value;
    if (!Object.keys(light).length) delete s.light;
  } else if (value === undefined) {
    delete s[key];
  } else {
    s[key] = value;
  }
  if (!Object.keys(s).length) delete state.doc.settings;
  setDirty(true);
}

// ---------------------------------------------------------------- load, save

async function loadAreas() {
  const a = await api("GET", "api/areas");
  state.version = a.version;
  if (a.document) {
    state.doc = a.document;
    if (a.warnings && a.warnings.length) message("save-message", a.warnings.join("\n"));
    else message("save-message", "");
  } else {
    state.doc = { areas: [] };
    if (a.error) message("save-message", a.error + "\n(starting with no coils; Save replaces the file)", "error");
    else message("save-message", "The areas file does not exist yet: Save creates it.");
  }
  bindPairs();
  state.selected = -1;
  $("disk-banner").hidden = true;
  setDirty(false);
  // Marks stay with the coils of the names they had.
  for (const m of state.marks) m.area = null;
  renderCoils();
  renderMarks();
  settingsToForm();
  refreshRows();
}

async function save() {
  try {
    const r = await api("PUT", "api/areas", state.doc, { "X-Areas-Base": state.version });
    state.version = r.version;
    $("disk-banner").hidden = true;
    setDirty(false);
    let text = "Saved " + r.areas + " coil" + (r.areas === 1 ? "" : "s") + " to " + r.path;
    if (r.overwrote_change) text += "\n(it had changed on disk; this page's coils replaced it, the old file is " + r.path + ".bak)";
    if (r.warnings.length) text += "\n" + r.warnings.join("\n");
    if (r.applied) text += "\n" + r.applied;  // under serve: what the camera's restart did
    message("save-message", text, "ok");
  } catch (e) {
    message("save-message", e.message, "error");
  }
}

async function pollDisk() {
  try {
    const a = await api("GET", "api/areas?version=1");
    $("disk-banner").hidden = a.version === state.version;
  } catch (e) {
    // The editor was stopped; nothing to watch any more.
  }
}

// ---------------------------------------------------------------- test, tune

async function runTest() {
  const body = { areas: state.doc };
  if (labelling()) body.marks = marksForServer();
  const start = $("test-start").value, duration = $("test-duration").value;
  if (start !== "") body.start = Number(start);
  if (duration !== "") body.duration = Number(duration);
  message("test-message", "running the detector...");
  $("run-test").disabled = true;
  try {
    state.test = await api("POST", "api/test", body);
    state.test.coils = state.doc.areas.map((a) => a.name);
    const t = state.test;
    let text = t.events.length + " trigger" + (t.events.length === 1 ? "" : "s") + " in " + t.frames + " frames";
    if (!t.measured) text += " (this detector gives no measurements: no margins)";
    if (t.traffic && t.traffic.vehicles.length) {
      const v = t.traffic.vehicles;
      const mean = v.reduce((s, x) => s + x.speed_kmh, 0) / v.length;
      text += "; " + v.length + " vehicle" + (v.length === 1 ? "" : "s") + ", mean " + mean.toFixed(1) + " km/h";
    }
    if (t.truth) {
      text += "\n" + t.truth.coils.map((c, i) =>
        t.coils[i] + ": " + c.hits + " hits, " + c.misses + " misses, " + c.false + " false").join("\n");
    }
    message("test-message", text, "ok");
    renderResults();
  } catch (e) {
    message("test-message", e.message, "error");
  } finally {
    $("run-test").disabled = false;
  }
}

async function tune() {
  message("test-message", "tuning...");
  try {
    const body = { areas: state.doc };
    if (labelling()) body.marks = marksForServer();
    const r = await api("POST", "api/tune", body);
    r.thresholds.forEach((v, i) => { if (state.doc.areas[i]) state.doc.areas[i].threshold = v; });
    renderCoils();
    setDirty(true);
    message("test-message", "Recommended thresholds applied: " + r.thresholds.join(", ") +
      "\nTest shows what they give; Save keeps them.", "ok");
  } catch (e) {
    message("test-message", e.message, "error");
  }
}

// Search: the detector settings too, in the background; the page polls
// for progress and may cancel. The result is applied like Tune's.
function countsText(c) {
  return c.hits + " hits, " + c.misses + " misses, " + c.false + " false (" + c.triggers + " triggers)";
}

async function search() {
  const body = { areas: state.doc };
  if (labelling()) body.marks = marksForServer();
  const start = $("test-start").value, duration = $("test-duration").value;
  if (start !== "") body.start = Number(start);
  if (duration !== "") body.duration = Number(duration);
  try {
    await api("POST", "api/search", body);
  } catch (e) {
    message("test-message", e.message, "error");
    return;
  }
  $("search").disabled = true;
  $("search-cancel").hidden = false;
  message("test-message", "searching...");
  for (;;) {
    await new Promise((done) => setTimeout(done, 500));
    let s;
    try {
      s = await api("GET", "api/search");
    } catch (e) {
      message("test-message", e.message, "error");
      break;
    }
    if (s.state === "running") {
      const p = s.progress;
      message("test-message", "searching: pass " + p.pass + " (" + p.pass_candidates + " candidates), frame " +
        p.frame + "; " + p.candidates_done + " of at most " + p.candidates_limit + " candidates done" +
        (p.best ? "\nbest so far: " + countsText(p.best) : ""));
      continue;
    }
    if (s.state === "done") applySearch(s.result);
    else if (s.state === "cancelled") message("test-message", "search cancelled; nothing changed", "ok");
    else message("test-message", s.error || "the search failed", "error");
    break;
  }
  $("search").disabled = false;
  $("search-cancel").hidden = true;
}

function applySearch(r) {
  r.thresholds.forEach((v, i) => { if (state.doc.areas[i]) state.doc.areas[i].threshold = v; });
  const s = state.doc.settings || (state.doc.settings = {});
  for (const [key, value] of Object.entries(r.settings)) {
    if (key === "light") s.light = Object.assign(s.light || {}, value);
    else s[key] = value;
  }
  settingsToForm();
  renderCoils();
  setDirty(true);
  message("test-message", "Searched " + r.candidates + " candidates in " + r.seconds.toFixed(1) + " s: " +
    r.described + "\nbefore: " + countsText(r.before) + "\nafter: " + countsText(r.after) + "\n" +
    r.coils.map((c) => c.name + ": threshold " + c.threshold + ", " + countsText(c.after)).join("\n") +
    "\nApplied; Test shows what they give, Save keeps them.", "ok");
}

async function cancelSearch() {
  try {
    await api("POST", "api/search/cancel", {});
  } catch (e) {
    message("test-message", e.message, "error");
  }
}

function renderResults() {
  const t = state.test;
  $("results").hidden = false;
  const box = $("timelines");
  box.textContent = "";
  const n = t.frames, first = t.times[0], last = t.times[n - 1];
  const span = Math.max(last - first, 1e-9);
  const pos = (frame) => (100 * (t.times[Math.min(frame, n - 1)] - first)) / span + "%";
  t.coils.forEach((name, i) => {
    const row = document.createElement("div");
    row.className = "timeline";
    row.dataset.area = i;
    const label = document.createElement("span");
    label.className = "label";
    label.textContent = i + " " + name;
    const plot = document.createElement("canvas");
    plot.width = 1000;
    plot.height = 90;
    const marks = document.createElement("div");
    marks.className = "marks";
    row.append(label, plot, marks);
    box.appendChild(row);
    drawMargins(plot, t.margins[i] || [], t.times, first, span);
    t.events.forEach((e, k) => {
      if (e.area !== i) return;
      const m = document.createElement("button");
      m.type = "button";
      m.className = "mark trigger" + (t.truth ? (t.truth.event_hit[k] ? " hit" : " false") : "");
      m.style.left = pos(e.frame);
      m.title = "frame " + e.frame + ", " + e.time.toFixed(3) + " s";
      m.dataset.frame = e.frame;
      m.dataset.time = e.time;
      m.addEventListener("click", () => showTime(e.time));
      marks.appendChild(m);
    });
    if (t.truth) for (const en of t.truth.entries) {
      if (en.area !== i || en.trigger !== null) continue;
      const m = document.createElement("span");
      m.className = "mark miss";
      m.style.left = pos(en.frame);
      m.title = "missed: vehicle at frame " + en.frame;
      marks.appendChild(m);
    }
  });
  renderTraffic(t.traffic);
  const body = $("events").querySelector("tbody");
  body.textContent = "";
  t.events.forEach((e, k) => {
    const tr = document.createElement("tr");
    tr.className = "event";
    tr.dataset.frame = e.frame;
    tr.dataset.area = e.area;
    const truth = t.truth ? (t.truth.event_hit[k] ? "hit" : "false") : "";
    for (const v of [e.frame, e.time.toFixed(6), e.area, e.name, truth]) {
      const td = document.createElement("td");
      td.textContent = v;
      tr.appendChild(td);
    }
    tr.addEventListener("click", () => showTime(e.time));
    body.appendChild(tr);
  });
}

function tableRow(values) {
  const tr = document.createElement("tr");
  for (const v of values) {
    const td = document.createElement("td");
    td.textContent = v;
    tr.appendChild(td);
  }
  return tr;
}

// Per coil its reported triggers, those its holdoff held back and its
// occupancy over the test; per vehicle on a pair its speed and length.
function renderTraffic(traffic) {
  const coils = $("traffic-coils").querySelector("tbody"), vehicles = $("vehicles").querySelector("tbody");
  coils.textContent = "";
  vehicles.textContent = "";
  if (!traffic) return;
  for (const c of traffic.coils) {
    const occupancy = c.occupancy === null ? "" : (100 * c.occupancy).toFixed(1) + " %";
    const tr = tableRow([c.name, c.count, c.suppressed, occupancy, c.health]);
    tr.className = "traffic-coil";
    coils.appendChild(tr);
  }
  for (const v of traffic.vehicles) {
    const tr = tableRow([v.pair, v.frame, v.time.toFixed(3), v.speed_kmh.toFixed(1),
      v.length_m === null ? "" : v.length_m.toFixed(2)]);
    tr.className = "vehicle";
    tr.addEventListener("click", () => showTime(v.time));
    vehicles.appendChild(tr);
  }
  $("vehicles").hidden = !traffic.vehicles.length;
  $("no-vehicles").hidden = traffic.pairs.length > 0;
}

function drawMargins(c, series, times, first, span) {
  const g = c.getContext("2d"), w = c.width, h = c.height;
  let top = 2;
  for (const v of series) if (v !== null && v > top) top = v;
  top = Math.min(top * 1.05, 20);
  const y = (v) => h - (Math.min(v, top) / top) * (h - 4) - 2;
  g.strokeStyle = "#999";
  g.setLineDash([4, 4]);
  g.beginPath();
  g.moveTo(0, y(1));
  g.lineTo(w, y(1));
  g.stroke();
  g.setLineDash([]);
  g.fillStyle = "#777";
  g.font = "10px sans-serif";
  g.fillText("1.0", w - 20, y(1) - 2);
  g.strokeStyle = "#1565c0";
  g.beginPath();
  let pen = false;
  series.forEach((v, k) => {
    if (v === null) { pen = false; return; }
    const x = ((times[k] - first) / span) * w;
    if (pen) g.lineTo(x, y(v)); else g.moveTo(x, y(v));
    pen = true;
  });
  g.stroke();
}

// ---------------------------------------------------------------- live source

// Records a fresh clip of the live source; the page keeps showing the last
// one until the new one is complete, then reads its frames.
async function recordAgain() {
  $("record").disabled = true;
  try {
    await api("POST", "api/record", {});
    let r;
    do {
      await new Promise((done) => setTimeout(done, 500));
      r = await api("GET", "api/record");
      message("record-message", "recording: " + r.seconds.toFixed(1) + " of " + r.of + " s");
    } while (r.recording);
    if (r.error) throw new Error(r.error);
    state.frameTimes = (await api("GET", "api/frames")).times;
    $("time").max = Math.max(0, frameCount() - 1);
    state.marks = [];
    marksChanged();
    showFrame(0);
    message("record-message", r.done + "; marks cleared (they belonged to the last clip)", "ok");
  } catch (e) {
    message("record-message", e.message, "error");
  } finally {
    $("record").disabled = false;
  }
}

// ---------------------------------------------------------------- start

function onKey(ev) {
  const tag = document.activeElement && document.activeElement.tagName;
  if (tag === "INPUT" && document.activeElement.type !== "range") return;
  if (ev.key === "ArrowLeft" || ev.key === "ArrowRight") {
    ev.preventDefault();
    const step = ev.shiftKey ? Math.max(1, Math.round(state.info.fps)) : 1;
    showFrame(state.frame + (ev.key === "ArrowLeft" ? -step : step));
  } else if (/^[1-9]$/.test(ev.key) && !ev.ctrlKey && !ev.altKey && !ev.metaKey) {
    addMark(Number(ev.key) - 1);
  } else if (ev.key === "Delete" || ev.key === "Backspace") {
    deleteCoil(state.selected);
  } else if (ev.key === "Escape") {
    endAdding();
  }
}

async function start() {
  const info = (state.info = await api("GET", "api/info"));
  $("video-name").textContent = info.video + " (" + info.width + "x" + info.height + ", " +
    info.fps.toFixed(3).replace(/\.?0+$/, "") + " fps" +
    (info.duration ? ", " + info.duration.toFixed(2) + " s" : "") + ")";
  $("areas-path").textContent = info.areas_file;
  const c = canvas();
  $("frame").addEventListener("load", draw, { once: true });
  state.frameTimes = (await api("GET", "api/frames")).times;
  const slider = $("time");
  slider.step = 1;
  slider.max = Math.max(0, frameCount() - 1);
  slider.addEventListener("input", () => showFrame(Number(slider.value)));
  $("prev-frame").addEventListener("click", () => showFrame(state.frame - 1));
  $("next-frame").addEventListener("click", () => showFrame(state.frame + 1));
  c.addEventListener("mousedown", onMouseDown);
  window.addEventListener("mousemove", onMouseMove);
  window.addEventListener("mouseup", onMouseUp);
  window.addEventListener("resize", draw);
  document.addEventListener("keydown", onKey);
  $("add-coil").addEventListener("click", startAdding);
  $("save").addEventListener("click", save);
  $("reload").addEventListener("click", loadAreas);
  $("reload-banner").addEventListener("click", loadAreas);
  $("settings").addEventListener("input", (ev) => { if (ev.target.name) formToSettings(ev.target); });
  $("settings").addEventListener("submit", (ev) => ev.preventDefault());
  $("run-test").addEventListener("click", runTest);
  $("tune").hidden = !info.truth_file;
  $("tune").addEventListener("click", tune);
  $("save-marks").addEventListener("click", saveMarks);
  $("light-view").addEventListener("change", () => showFrame(state.frame));
  if (info.live) {
    $("live").hidden = false;
    $("live-source").textContent = info.live + ": editing a recording of " + info.record_seconds + " s";
    $("record").addEventListener("click", recordAgain);
  }
  $("save-marks").disabled = !info.truth_file;
  window.addEventListener("beforeunload", (ev) => {
    if (state.dirty || !$("marks-dirty").hidden) ev.preventDefault();
  });
  $("search").hidden = !info.truth_file;
  $("search").addEventListener("click", search);
  $("search-cancel").addEventListener("click", cancelSearch);
  await loadAreas();
  await loadMarks();
  showFrame(0);
  setInterval(pollDisk, 2000);
  document.body.dataset.ready = "1";
}

start().catch((e) => message("save-message", "cannot start: " + e.message, "error"));
