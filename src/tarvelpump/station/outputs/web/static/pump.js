// One pump's page, reached from its tile: the tile kept live by the station's
// event stream, what is known of the pump in full (its link's whole error
// among it), the latest readings the store kept, and its events. A view over
// several gateways keeps no readings (each ward's station does): there the page
// shows the pump's state and the events the view holds.
//
// Loaded after app.js, whose words, tile, clock and banners it uses; like the
// ward's page it reloads the whole picture on every (re)connection, holding back
// stream messages until it has it.
"use strict";

const PUMP = decodeURIComponent(location.pathname.slice("/pump/".length));
const READINGS = 60;
const MORE = {
  en: {
    back: "← all pumps", readings: "Latest readings", events: "Events", noEvents: "No event yet.",
    columns: ["time", "state", "door", "time left", "rate unit", "alarms"],
    notKept: "Readings are kept by each ward's station, not by this view: its state and events are shown.",
    noReadings: "No reading stored yet.", forgotten: "This pump is no longer watched here: as it was last known.",
    ward: "ward", link: "link", where: (a, c) => "address " + a + ", channel " + c,
    offline: "offline", notHeard: "not yet heard", stale: "no news", online: "answering",
    presence: "presence", alarms: "alarms", sinceAt: (c) => " (since " + c + ")", answers: "answers",
    notRead: "–: not read in that round (the door, time left and rate unit are read less often).",
    counted: (a, s) => a + " answered · " + s + " silent",
  },
  zh: {
    back: "← 全部泵", readings: "最近读数", events: "事件", noEvents: "尚无事件。",
    columns: ["时间", "状态", "泵门", "剩余时间", "速率单位", "报警"],
    notKept: "读数由各病区工作站保存，本视图不保存：此处显示其状态与事件。",
    noReadings: "尚未保存读数。", forgotten: "此处已不再监视该泵：以下为最后已知状态。",
    ward: "病区", link: "链路", where: (a, c) => "地址 " + a + "，通道 " + c,
    offline: "离线", notHeard: "尚未联系", stale: "信息过时", online: "应答中",
    presence: "状态", alarms: "报警", sinceAt: (c) => "（自 " + c + "）", answers: "应答",
    notRead: "–：该轮未读取（泵门、剩余时间和速率单位读取较少）。",
    counted: (a, s) => "应答 " + a + " · 无应答 " + s,
  },
}[LANG];

let me = null;         // the pump's view as /api/pumps/{id} serves it
let mine = [];         // its events, newest first
let kept = null;       // {stored, readings} from its history
let forgotten = false;
let pumpLoading = false;
let pumpHeld = [];
let loads = 0;         // only the latest of overlapping loads is taken

function isMine(e) {
  if (e.pump_id) return e.pump_id === PUMP;
  return !!me && e.pump === me.label && (!wards || (e.station || "") === (me.station || ""));
}

function term(dl, name, value) {
  if (value === null || value === undefined || value === "") return;
  const dt = document.createElement("dt");
  dt.textContent = name;
  const dd = document.createElement("dd");
  dd.textContent = value;
  dl.append(dt, dd);
}

// Everything the tile says in short, in full: the offline reason is the link's whole error.
function detail(p) {
  const dl = document.getElementById("detail");
  dl.replaceChildren();
  const shown = shownPresence(p);
  if (wards) term(dl, MORE.ward, p.station);
  term(dl, MORE.link, p.link + " · " + MORE.where(p.addr, p.channel));
  const said = { online: MORE.online, offline: MORE.offline, unheard: MORE.notHeard, stale: MORE.stale }[shown];
  term(dl, MORE.presence, said + (shown === "offline" ? ": " + (p.offline_reason || TEXT.notAnswering) : ""));
  if (p.alarmed) {
    const names = (p.alarm_words || []).map((w, i) => say(w, (p.alarm_texts || [])[i]));
    const since = p.alarm_since ? MORE.sinceAt(clock(p.alarm_since)) : "";
    term(dl, MORE.alarms, (shown === "online" ? "" : TEXT.lastKnown) + names.join(", ") + since);
  }
  term(dl, MORE.answers, MORE.counted(p.answered, p.silent));
}

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text === null || text === undefined || text === "" ? "–" : text;
  return td;
}

function readingRow(r) {
  const tr = document.createElement("tr");
  const alarms = (r.alarm_words || []).map((w, i) => say(w, (r.alarm_texts || [])[i]));
  tr.append(cell(clock(r.time)), cell(say(r.running_words, r.running_text)), cell(say(r.door_words, r.door_text)),
    cell(r.remaining_s === null ? null : duration(r.remaining_s)), cell(say(r.rate_unit_words, r.rate_unit_text)),
    cell(alarms.join(", ")));
  if (alarms.length) tr.className = "alarmed";
  return tr;
}

function renderPump() {
  const box = document.getElementById("pumps");
  if (me) {
    const t = tile(me);
    t.removeAttribute("href");  // its own page
    box.replaceChildren(t);
    detail(me);
    document.getElementById("title").textContent = me.label + " · " + document.body.dataset.title;
    document.title = (me.alarmed ? "(ALARM) " : "") + me.label + " · " + document.body.dataset.title;
  }
  document.getElementById("forgotten").hidden = !forgotten;
  document.getElementById("forgotten").textContent = MORE.forgotten;
  const note = document.getElementById("readings-note");
  const rows = kept && kept.stored ? kept.readings : [];
  note.hidden = !kept;
  note.textContent = kept && !kept.stored ? MORE.notKept : rows.length ? MORE.notRead : MORE.noReadings;
  const table = document.getElementById("readings");
  table.hidden = !rows.length;
  const head = document.createElement("tr");
  for (const c of MORE.columns) { const th = document.createElement("th"); th.textContent = c; head.appendChild(th); }
  table.tHead.replaceChildren(head);
  table.tBodies[0].replaceChildren(...rows.map(readingRow));
  const ev = document.getElementById("events");
  ev.replaceChildren(...(mine.length ? mine.slice(0, SHOWN_EVENTS).map(eventItem) : [line("empty", MORE.noEvents)]));
  banners();
}

async function loadReadings() {
  try {
    const r = await fetch("/api/pumps/" + encodeURIComponent(PUMP) + "/history?limit=" + READINGS);
    if (r.ok) kept = await r.json();
  } catch (err) { /* said by the link pill; tried again on the next turn */ }
}

async function loadPump() {
  const n = ++loads;
  pumpLoading = true;
  try {
    const id = encodeURIComponent(PUMP);
    const [p, e] = await Promise.all([fetch("/api/pumps/" + id), fetch("/api/events?limit=" + SHOWN_EVENTS + "&pump=" + id)]);
    const view = p.ok ? await p.json() : null;
    const events = e.ok ? (await e.json()).events : null;
    await loadReadings();
    if (n !== loads) return;
    forgotten = p.status === 404;
    if (view) me = view;
    if (events) mine = events;
    heard();
    pumpLoading = false;
    for (const [kind, data] of pumpHeld) take(kind, data);
    pumpHeld = [];
    renderPump();
  } catch (err) {
    if (n !== loads) return;
    pumpLoading = false;
    pumpHeld = [];
    setTimeout(loadPump, 2000);
  }
}

function take(kind, data) {
  if (kind === "pumps") {
    for (const p of data) if (p.id === PUMP) { me = p; forgotten = false; }
  } else if (kind === "seen") {
    if (me && data[PUMP]) { me.last_seen = data[PUMP].t; me.read_at = data[PUMP].read_at; }
  } else if (kind === "gone") {
    if (data.includes(PUMP)) forgotten = true;
  } else if (kind === "alive") {
    alive(data);
  } else if (kind === "events") {
    const known = new Set(mine.map((e) => e.id));
    mine = data.filter((e) => isMine(e) && !known.has(e.id)).reverse().concat(mine).slice(0, 200);
  }
}

function pumpStream() {
  const ward = wards && me && me.station ? "?ward=" + encodeURIComponent(me.station) : "";
  const es = new EventSource("/events" + ward);
  es.addEventListener("hello", () => { heard(); setLink(true); loadPump(); });
  for (const kind of ["pumps", "events", "alive", "seen", "gone"]) {
    es.addEventListener(kind, (m) => {
      heard();
      if (pumpLoading) pumpHeld.push([kind, JSON.parse(m.data)]);
      else { take(kind, JSON.parse(m.data)); renderPump(); }
    });
  }
  es.onerror = () => {
    setLink(false);
    if (es.readyState === EventSource.CLOSED) { es.close(); setTimeout(pumpStream, 2000); }
  };
}

function pumpChrome() {
  document.getElementById("readings-title").textContent = MORE.readings;
  document.getElementById("events-title").textContent = MORE.events;
  const lang = document.getElementById("lang");
  lang.textContent = TEXT.other;
  lang.href = link({ lang: LANG === "zh" ? "en" : "zh" });
  const back = document.getElementById("back");
  back.textContent = MORE.back;
  const q = new URLSearchParams();
  if (params.has("lang")) q.set("lang", LANG);
  if (wards && me && me.station) q.set("ward", me.station);
  back.href = "/" + (q.toString() ? "?" + q.toString() : "");
}

async function startPump() {
  setLink(false);
  document.getElementById("link").textContent = TEXT.connecting;
  await loadPump();
  pumpChrome();
  pumpStream();
  // Relative times and staleness move on; the store's readings are asked again now and then.
  setInterval(renderPump, 1000);
  setInterval(loadReadings, 10000);
}

startPump();
