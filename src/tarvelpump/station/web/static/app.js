// The nurse-station page: pump tiles and the latest events, kept live by the
// station's event stream. On every (re)connection the page reloads the whole
// picture from the JSON API, holding back stream messages until it has it, so
// a message is never overwritten by an older snapshot.
"use strict";

const SHOWN_EVENTS = 30;
const pumps = new Map();   // id -> view as /api/pumps serves it
let events = [];           // newest first
let loading = false;
let held = [];             // stream messages that came in while loading
let renderQueued = false;

function alarmed(p) {
  return p.online && ((p.alarms && p.alarms.length > 0) || !!p.alarm_word);
}

// Same order as the API's: alarmed first (most urgent alarm, then the one that
// has stood longest), then offline pumps, then the rest by label.
function group(p) { return alarmed(p) ? 0 : (p.online ? 2 : 1); }
function rank(p) {
  const r = p.top_alarm_rank;
  return r === null || r === undefined || r < 0 ? Infinity : r;
}
function since(p) { return p.alarm_since ? Date.parse(p.alarm_since) : Infinity; }
function compare(a, b) {
  return (group(a) - group(b))
    || (group(a) === 0 ? (rank(a) - rank(b)) || (since(a) - since(b)) : 0)
    || a.label.localeCompare(b.label, undefined, { numeric: true, sensitivity: "base" });
}
// Infinity - Infinity is NaN: treat it as equal.
function ordered() {
  return [...pumps.values()].sort((a, b) => {
    const c = compare(a, b);
    return Number.isNaN(c) ? 0 : c;
  });
}

function ago(iso) {
  if (!iso) return "never";
  const s = Math.max(0, Math.round((Date.now() - Date.parse(iso)) / 1000));
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min ago";
  return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min ago";
}

function span(iso) {
  const s = Math.max(0, Math.round((Date.now() - Date.parse(iso)) / 1000));
  if (s < 60) return s + " s";
  if (s < 3600) return Math.floor(s / 60) + " min";
  return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min";
}

function clock(iso) {
  return new Date(Date.parse(iso)).toLocaleTimeString([], { hour12: false });
}

function remaining(s) {
  if (s === null || s === undefined) return null;
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60);
  return (h ? h + " h " : "") + m + " min left";
}

function both(english, native) {
  if (english && native && english !== native) return english + " · " + native;
  return english || native || "";
}

function line(cls, text) {
  const p = document.createElement("p");
  p.className = cls;
  p.textContent = text;
  return p;
}

function tile(p) {
  const el = document.createElement("article");
  el.className = "tile";
  el.dataset.pump = p.id;
  const kind = !p.online ? "offline" : alarmed(p) ? "alarmed"
    : (p.running_name === "RUN" || p.running_name === "BOLUS" || p.running_name === "KVO"
      || p.running_name === "PURGING") ? "running" : "idle";
  el.classList.add(kind);
  el.appendChild(line("label", p.label));

  if (!p.online) {
    el.appendChild(line("state", "OFFLINE — not answering"));
  } else if (alarmed(p)) {
    const a = document.createElement("p");
    a.className = "alarm";
    a.appendChild(document.createTextNode("ALARM: " + (p.top_alarm_words || "alarm")));
    if (p.top_alarm_text) {
      const n = document.createElement("span");
      n.className = "native";
      n.textContent = " · " + p.top_alarm_text;
      a.appendChild(n);
    }
    el.appendChild(a);
    if (p.alarm_since) {
      el.appendChild(line("since", "for " + span(p.alarm_since) + " (since " + clock(p.alarm_since) + ")"));
    }
    const others = (p.alarm_words || []).filter((w) => w && w !== p.top_alarm_words);
    if (others.length) el.appendChild(line("also", "also: " + others.join(", ")));
  }
  const state = both(p.running_words, p.running_text);
  if (state) {
    el.appendChild(line(p.online && !alarmed(p) ? "state" : "facts", (p.online ? "" : "last state: ") + state));
  }

  const facts = [];
  const left = remaining(p.remaining_s);
  if (left) facts.push(left);
  if (p.rate_unit_words || p.rate_unit_text) facts.push("rate unit " + both(p.rate_unit_words, p.rate_unit_text));
  if (p.door_words === "open") facts.push("DOOR OPEN");
  if (facts.length) el.appendChild(line("facts", facts.join(" · ")));
  const seen = p.last_seen ? "seen " + ago(p.last_seen) + " (" + clock(p.last_seen) + ")" : "not seen yet";
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
  const who = e.pump || e.link;
  const what = e.words || e.kind_words;
  li.appendChild(document.createTextNode(who + " — " + what));
  return li;
}

function render() {
  renderQueued = false;
  const box = document.getElementById("pumps");
  const list = ordered();
  box.replaceChildren(...(list.length ? list.map(tile) : [line("empty", "No pump heard from yet.")]));
  const ev = document.getElementById("events");
  ev.replaceChildren(...events.slice(0, SHOWN_EVENTS).map(eventItem));
  const nAlarm = list.filter(alarmed).length;
  const nOff = list.filter((p) => !p.online).length;
  document.getElementById("summary").textContent =
    list.length + " pumps · " + nAlarm + " in alarm · " + nOff + " offline";
  const title = document.getElementById("title").textContent;
  document.title = (nAlarm ? "(" + nAlarm + " ALARM) " : "") + title;
}

function schedule() {
  if (!renderQueued) {
    renderQueued = true;
    setTimeout(render, 0);
  }
}

function apply(kind, data) {
  if (kind === "pumps") {
    for (const p of data) pumps.set(p.id, p);
  } else if (kind === "events") {
    const known = new Set(events.map((e) => e.id));
    const fresh = data.filter((e) => !known.has(e.id)).reverse();
    events = fresh.concat(events).slice(0, 200);
  }
  schedule();
}

function receive(kind, data) {
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
  es.addEventListener("hello", () => { setLink(true); reload(); });
  es.addEventListener("pumps", (m) => receive("pumps", JSON.parse(m.data)));
  es.addEventListener("events", (m) => receive("events", JSON.parse(m.data)));
  es.onerror = () => {
    setLink(false);
    // The browser retries by itself unless it gave up (an HTTP error): then we do.
    if (es.readyState === EventSource.CLOSED) {
      es.close();
      setTimeout(connect, 2000);
    }
  };
}

// Relative times ("seen 3 s ago") move on between updates.
setInterval(schedule, 1000);
connect();
