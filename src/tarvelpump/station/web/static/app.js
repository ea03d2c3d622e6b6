// The nurse-station page: pump tiles and the latest events, kept live by the
// station's event stream. On every (re)connection the page reloads the whole
// picture from the JSON API, holding back stream messages until it has it, so
// a message is never overwritten by an older snapshot.
//
// Nothing unknown is shown as fine: a pump not yet heard, offline or whose
// news is old (stale) has its own look, and once the stream has been silent
// for longer than the station says (about two rounds) every tile is greyed
// under a banner saying since when nothing is known.
"use strict";

const SHOWN_EVENTS = 30;
const pumps = new Map();   // id -> view as /api/pumps serves it
let order = [];            // pump ids in the server's order
let events = [];           // newest first
let loading = false;
let held = [];             // stream messages that came in while loading
let renderQueued = false;
let skew = 0;              // the station's clock minus ours, in ms
let lastHeard = Date.now(); // when the stream last said anything
let goneAfter = 10;        // seconds of silence after which the station counts as gone
let health = { store: null };
let wards = false;         // tiles and events name their ward (a view over several gateways)

function serverNow() { return Date.now() + skew; }
function heard() { lastHeard = Date.now(); }
function setClock(iso) { if (iso) skew = Date.parse(iso) - Date.now(); }

function pad(n) { return (n < 10 ? "0" : "") + n; }
function clock(iso) {
  const d = new Date(Date.parse(iso));
  return pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
}
function clockHM(iso) {
  const d = new Date(Date.parse(iso));
  return pad(d.getHours()) + ":" + pad(d.getMinutes());
}
function age(ms) {
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 60) return s + " s";
  if (s < 3600) return Math.floor(s / 60) + " min";
  return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min";
}
function span(iso) { return age(serverNow() - Date.parse(iso)); }
function ago(iso) { return iso ? span(iso) + " ago" : "never"; }

function remaining(s) {
  if (s === null || s === undefined) return null;
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60);
  return (h ? h + " h " : "") + m + " min left";
}

function both(english, native) {
  if (english && native && english !== native) return english + " · " + native;
  return english || native || "";
}

// The presence to show: the station's, or "stale" once an online pump's news
// is older than the server's stale_after_s for it.
function shownPresence(p) {
  if (p.presence === "online" && p.last_seen
      && serverNow() - Date.parse(p.last_seen) > p.stale_after_s * 1000) return "stale";
  return p.presence || "unheard";
}

function line(cls, text) {
  const p = document.createElement("p");
  p.className = cls;
  p.textContent = text;
  return p;
}

function alarmLine(cls, prefix, p) {
  const a = document.createElement("p");
  a.className = cls;
  a.appendChild(document.createTextNode(prefix + (p.top_alarm_words || "alarm")));
  if (p.top_alarm_text) {
    const n = document.createElement("span");
    n.className = "native";
    n.textContent = " · " + p.top_alarm_text;
    a.appendChild(n);
  }
  return a;
}

const ACTIVE = new Set(["RUN", "BOLUS", "KVO", "PURGING"]);

function tile(p) {
  const el = document.createElement("article");
  el.className = "tile";
  el.dataset.pump = p.id;
  const presence = shownPresence(p);
  const current = presence === "online";
  if (p.alarmed) el.classList.add("alarmed");
  if (!current) el.classList.add(presence);
  else if (!p.alarmed) el.classList.add(ACTIVE.has(p.running_name) ? "running" : "idle");

  if (wards && p.station) el.appendChild(line("ward", p.station));
  el.appendChild(line("label", p.label));
  // Seen from across the room: full-width bands, not words among the facts.
  if (p.door_open) el.appendChild(line("band door", "DOOR OPEN"));
  if (p.near_end) el.appendChild(line("band near-end", "NEAR END · " + remaining(p.remaining_s)));

  const reason = p.offline_reason || "not answering";
  const head = reason.split(":")[0];
  const absent = presence === "offline" ? "OFFLINE" : presence === "unheard" ? "NOT YET HEARD" : null;
  if (p.alarmed && absent) {
    // Its last alarm is not known to be over: kept, counted, and said to be the last known.
    const a = alarmLine("alarm last", absent + " — last alarm: ", p);
    if (p.alarm_since) a.appendChild(document.createTextNode(", since " + clockHM(p.alarm_since)));
    el.appendChild(a);
    if (presence === "offline") el.appendChild(line("reason", reason));
  } else if (p.alarmed) {
    el.appendChild(alarmLine("alarm", "ALARM: ", p));
    if (p.alarm_since) {
      el.appendChild(line("since", "for " + span(p.alarm_since) + " (since " + clock(p.alarm_since) + ")"));
    }
  } else if (presence === "offline") {
    el.appendChild(line("state", "OFFLINE — " + head));
    if (head !== reason) el.appendChild(line("reason", reason));
  } else if (presence === "unheard") {
    el.appendChild(line("state", "NOT YET HEARD"));
  }
  if (presence === "stale") {
    el.appendChild(line("state stale-note", "STALE — no news for " + age(serverNow() - Date.parse(p.last_seen))));
  }
  if (p.alarmed) {
    const others = (p.alarm_words || []).filter((w) => w && w !== p.top_alarm_words);
    if (others.length) el.appendChild(line("also", "also: " + others.join(", ")));
  }
  const state = both(p.running_words, p.running_text);
  if (state) el.appendChild(line(current && !p.alarmed ? "state" : "facts", (current ? "" : "last state: ") + state));

  const facts = [];
  const left = remaining(p.remaining_s);
  if (left && !p.near_end) facts.push(left);
  if (p.rate_unit_words || p.rate_unit_text) facts.push("rate unit " + both(p.rate_unit_words, p.rate_unit_text));
  if (facts.length) el.appendChild(line("facts", facts.join(" · ")));
  const seen = p.last_seen ? "seen " + ago(p.last_seen) + " (" + clock(p.last_seen) + ")" : "never heard from";
  el.appendChild(line("seen", seen));
  return el;
}

function eventItem(e) {
  const li = document.createElement("li");
  li.className = e.kind;
  const t = document.createElement("time");
  t.dateTime = e.time;
  t.textContent = clock(e.time);
  li.appendChild(t);
  const who = (wards && e.station ? e.station + " · " : "") + (e.pump || e.link);
  const what = e.words || e.kind_words;
  li.appendChild(document.createTextNode(who + " — " + what));
  return li;
}

// The server's order; a pump it has not placed yet (none should be) goes last.
function ordered() {
  const placed = new Set(order);
  const list = order.filter((id) => pumps.has(id)).map((id) => pumps.get(id));
  for (const [id, p] of pumps) if (!placed.has(id)) list.push(p);
  return list;
}

// Said as presence.summary says it on the terminal.
function summary(list) {
  const n = { alarmed: 0, online: 0, stale: 0, offline: 0, unheard: 0 };
  for (const p of list) {
    if (p.alarmed) n.alarmed += 1;
    n[shownPresence(p)] += 1;
  }
  const parts = [list.length + " pumps", n.alarmed + " in alarm", n.offline + " offline"];
  if (n.unheard) parts.push(n.unheard + " not yet heard");
  if (n.stale) parts.push(n.stale + " stale");
  return [parts.join(" · "), n.alarmed];
}

function banners() {
  const store = health && health.store;
  const el = document.getElementById("store");
  if (store && !store.up) {
    el.textContent = "store not writable since " + (store.since ? clock(store.since) : "?")
      + ": history and MQTT paused" + (store.error ? " (" + store.error + ")" : "");
    el.hidden = false;
  } else {
    el.hidden = true;
  }
  const gone = Date.now() - lastHeard > goneAfter * 1000;
  document.body.classList.toggle("gone", gone);
  const g = document.getElementById("gone");
  g.hidden = !gone;
  if (gone) {
    g.textContent = "NOTHING KNOWN SINCE " + clock(new Date(lastHeard + skew).toISOString())
      + " — the station is not reachable; the pumps below are as they were then (" + age(Date.now() - lastHeard)
      + " ago)";
  }
}

function render() {
  renderQueued = false;
  const box = document.getElementById("pumps");
  const list = ordered();
  box.replaceChildren(...(list.length ? list.map(tile) : [line("empty", "No pump heard from yet.")]));
  const ev = document.getElementById("events");
  ev.replaceChildren(...events.slice(0, SHOWN_EVENTS).map(eventItem));
  const [text, nAlarm] = summary(list);
  document.getElementById("summary").textContent = text;
  const title = document.getElementById("title").textContent;
  document.title = (nAlarm ? "(" + nAlarm + " ALARM) " : "") + title;
  banners();
}

function schedule() {
  if (!renderQueued) {
    renderQueued = true;
    setTimeout(render, 0);
  }
}

function alive(a) {
  setClock(a.time);
  if (a.health) health = a.health;
  if (a.gone_after_s) goneAfter = a.gone_after_s;
}

function apply(kind, data) {
  if (kind === "pumps") {
    for (const p of data) pumps.set(p.id, p);
  } else if (kind === "order") {
    order = data;
  } else if (kind === "alive") {
    alive(data);
  } else if (kind === "events") {
    const known = new Set(events.map((e) => e.id));
    const fresh = data.filter((e) => !known.has(e.id)).reverse();
    events = fresh.concat(events).slice(0, 200);
  }
  schedule();
}

function receive(kind, data) {
  heard();
  if (loading) held.push([kind, data]);
  else apply(kind, data);
}

async function reload() {
  loading = true;
  try {
    const [p, e] = await Promise.all([fetch("/api/pumps"), fetch("/api/events")]);
    if (!p.ok || !e.ok) throw new Error("station answered " + p.status + "/" + e.status);
    const pj = await p.json(), ej = await e.json();
    // A restarted station may watch other pumps: start from its picture.
    pumps.clear();
    for (const v of pj.pumps) pumps.set(v.id, v);
    order = pj.pumps.map((v) => v.id);
    wards = !!pj.wards;
    alive(pj);
    heard();
    events = ej.events;
    loading = false;
    for (const [kind, data] of held) apply(kind, data);
    held = [];
    schedule();
  } catch (err) {
    loading = false;
    held = [];
    setTimeout(reload, 2000);
  }
}

function setLink(up) {
  const el = document.getElementById("link");
  el.className = "link " + (up ? "up" : "down");
  el.textContent = up ? "Live" : "Station not reachable — reconnecting…";
}

function connect() {
  const es = new EventSource("/events");
  es.addEventListener("hello", () => { heard(); setLink(true); reload(); });
  for (const kind of ["pumps", "events", "order", "alive"]) {
    es.addEventListener(kind, (m) => receive(kind, JSON.parse(m.data)));
  }
  es.onerror = () => {
    setLink(false);
    // The browser retries by itself unless it gave up (an HTTP error): then we do.
    if (es.readyState === EventSource.CLOSED) {
      es.close();
      setTimeout(connect, 2000);
    }
  };
}

// Relative times, staleness and the station's silence move on between updates.
setInterval(schedule, 1000);
connect();
