// The nurse-station page: pump tiles and the latest events, kept live by the
// station's event stream. On every (re)connection the page reloads the whole
// picture from the JSON API, holding back stream messages until it has it, so
// a message is never overwritten by an older snapshot.
//
// Nothing unknown is shown as fine: a pump not yet heard, offline or whose
// news is old (stale) has its own look, its door and near-end marks are said
// as the last known rather than as bright bands, and once the stream has been
// silent for longer than the station says (about two rounds) every tile is
// greyed under a banner saying since when nothing is known. Each tile links to
// its pump's own page (pump.js).
//
// One language (?lang=en or ?lang=zh; by default the browser's, as the server
// read it into <html lang>), a compact mode (?compact=1: sixty tiles on one
// screen), and over several gateways (a hospital) the per-ward counts with
// every alarmed pump of the site and the tiles by ward (layout.js), or one
// ward's tiles (?ward=NAME).
"use strict";

const params = new URLSearchParams(location.search);
const LANG = document.documentElement.lang === "zh" ? "zh" : "en";
const COMPACT = params.get("compact") === "1";
const WARD = params.get("ward");
//: a site larger than this shows its alarmed pumps only, with the counts of each ward
const SITE_TILES = 200;
const TEXT = {
  en: {
    pumps: "pumps", inAlarm: "in alarm", offline: "offline", notHeard: "not yet heard", stale: "stale",
    alarm: "ALARM", alarmPrefix: "ALARM: ", lastAlarm: " — last alarm: ", OFFLINE: "OFFLINE",
    NOT_HEARD: "NOT YET HEARD", STALE: "STALE — no news for ", notAnswering: "not answering",
    sinceComma: ", since ", forSince: (a, c) => "for " + a + " (since " + c + ")", also: "also: ",
    lastState: "last state: ", rateUnit: "rate unit ", seen: (a, c) => "seen " + a + " ago (" + c + ")",
    never: "never heard from", ago: " ago", left: (d) => d + " left", h: " h", min: " min", s: " s", underMin: "<1 min",
    door: "DOOR OPEN", nearEnd: "NEAR END · ", read: (a) => "read " + a + " ago", none: "No pump heard from yet.", noAlarm: "No pump in alarm.",
    lastKnown: "last known: ", doorWas: "door open", nearEndWas: "near end · ", above: " (above)",
    live: "Live", down: "Station not reachable — reconnecting…", connecting: "Connecting…",
    events: "Latest events", wards: "Wards", site: "← whole site", compact: "compact", full: "large tiles",
    other: "中文", storeDown: "store not writable since ", storePaused: ": history and MQTT paused",
    gone: (c, a) => "NOTHING KNOWN SINCE " + c + " — the station is not reachable; the pumps below are as they were then (" + a + " ago)",
    alarmedOf: "alarmed pumps of the whole site",
    refused: (n, site, ward, names, more) => n + " pumps NOT SHOWN: this view is full (at most " + site + " pumps, "
      + ward + " a ward) — from " + names + (more ? " and " + more + " more wards" : "")
      + ". Stale retained states take places: tarvelpump station view --mqtt URL --clear-retained WARD clears them",
    output: (name, url) => name + " to " + url, connected: " (connected)", notConnected: " (not connected)",
    unknown: " (not known: the station is not reachable)",
    refusing: (since, why) => "receiver refusing since " + since + (why ? " (" + why + ")" : ""),
    outputCounts: (acked, waiting, aside) => acked + " delivered · " + waiting + " waiting · " + aside
      + " set aside (refused by the receiver)",
    overBound: (bound) => "more than " + bound + " waiting: periodic reports replaced by newer ones, every event kept",
    patient: "Patient ", notValidated: "not validated", notSent: "not named in HL7", refusedHere: "reported wrong here",
    wrongPatient: (t, n) => "WRONG PATIENT reported " + t + " — " + n + " messages named them",
  },
  zh: {
    pumps: "台泵", inAlarm: "报警", offline: "离线", notHeard: "尚未联系", stale: "信息过时",
    alarm: "报警", alarmPrefix: "报警：", lastAlarm: " — 最后报警：", OFFLINE: "离线",
    NOT_HEARD: "尚未联系", STALE: "信息过时 — 已无消息 ", notAnswering: "无应答",
    sinceComma: "，自 ", forSince: (a, c) => "已 " + a + "（自 " + c + "）", also: "另有：",
    lastState: "最后状态：", rateUnit: "速率单位 ", seen: (a, c) => a + "前联系（" + c + "）",
    never: "从未联系", ago: "前", left: (d) => "剩余 " + d, h: " 小时", min: " 分钟", s: " 秒", underMin: "不到 1 分钟",
    door: "泵门打开", nearEnd: "即将结束 · ", read: (a) => a + "前读取", none: "尚未联系到任何泵。", noAlarm: "没有报警的泵。",
    lastKnown: "最后已知：", doorWas: "泵门打开", nearEndWas: "即将结束 · ", above: "（见上）",
    live: "在线", down: "无法连接工作站 — 正在重连…", connecting: "正在连接…",
    events: "最新事件", wards: "病区", site: "← 全院", compact: "紧凑", full: "大图块",
    other: "English", storeDown: "数据库自 ", storePaused: " 起无法写入：历史与 MQTT 暂停",
    gone: (c, a) => "自 " + c + " 起无任何消息 — 无法连接工作站；下列为当时状态（" + a + "前）",
    alarmedOf: "全院报警的泵",
    refused: (n, site, ward, names, more) => "有 " + n + " 台泵未显示：此视图已满（全院最多 " + site + " 台，每病区 "
      + ward + " 台）— 来自 " + names + (more ? " 及另外 " + more + " 个病区" : "")
      + "。过时的保留状态占用名额：用 tarvelpump station view --mqtt URL --clear-retained 病区 清除",
    output: (name, url) => name + " 发往 " + url, connected: "（已连接）", notConnected: "（未连接）",
    unknown: "（未知：无法连接工作站）",
    refusing: (since, why) => "接收方自 " + since + " 起拒收" + (why ? "（" + why + "）" : ""),
    outputCounts: (acked, waiting, aside) => "已送达 " + acked + " · 等待 " + waiting + " · 搁置 " + aside + "（被接收方拒绝）",
    overBound: (bound) => "等待超过 " + bound + " 条：定期报告以新代旧，事件全部保留",
    patient: "患者 ", notValidated: "未验证", notSent: "未用于 HL7", refusedHere: "已报告关联错误",
    wrongPatient: (t, n) => "患者关联错误 " + t + " — 已有 " + n + " 条消息使用该患者",
  },
}[LANG];

const SHOWN_EVENTS = 30;
const OUTPUTS = { hl7: "HL7", mqtt: "MQTT" }; // the outputs' names as said; another is said in capitals
const pumps = new Map();   // id -> view as /api/pumps serves it
let order = [];            // pump ids in the server's order
let events = [];           // newest first
let loading = false;
let held = [];             // stream messages that came in while loading
let renderQueued = false;
let skew = 0;              // the station's clock minus ours, in ms
let lastHeard = Date.now(); // when the stream last said anything
let goneAfter = 10;        // seconds of silence after which the station counts as gone
let streamUp = false;      // the event stream is open
let health = { store: null };
let wards = document.body.dataset.wards === "1"; // a view over several gateways: tiles name their ward
let site = false;          // the whole site's alarmed pumps and the counts of each ward
let wardCounts = [];       // per ward: pumps, alarmed, online, stale, offline, unheard
let scope = "";            // the query of /api/pumps and /events

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
  if (s < 60) return s + TEXT.s;
  if (s < 3600) return Math.floor(s / 60) + TEXT.min;
  return Math.floor(s / 3600) + TEXT.h + " " + Math.floor((s % 3600) / 60) + TEXT.min;
}
function span(iso) { return age(serverNow() - Date.parse(iso)); }

// Time left with its units in words ("1 h 30 min left", "剩余 1 小时 30 分钟"):
// never "1:30", which reads as hours or as minutes.
function remaining(s) {
  return s === null || s === undefined ? null : TEXT.left(duration(s));
}
function duration(s) {
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60);
  if (!h && !m) return TEXT.underMin;
  return (h ? h + TEXT.h + (m ? " " : "") : "") + (m ? m + TEXT.min : "");
}

// The page's language: the pump's own (Chinese) text, or the English words.
function say(english, native) {
  return (LANG === "zh" ? native || english : english || native) || "";
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
  a.textContent = prefix + (say(p.top_alarm_words, p.top_alarm_text) || TEXT.alarm);
  return a;
}

const ACTIVE = new Set(["RUN", "BOLUS", "KVO", "PURGING"]);

// A value read longer ago than the pass says when ("DOOR OPEN · read 40 s ago"):
// the station serves when each value was read (read_at) and past what age that is.
function readAgo(p, field) {
  const at = p.read_at && p.read_at[field];
  if (!at || !p.aged_after_s) return null;
  const ms = serverNow() - Date.parse(at);
  return ms > p.aged_after_s * 1000 ? TEXT.read(age(ms)) : null;
}
function withAge(text, p, field, paren) {
  const a = readAgo(p, field);
  return !a ? text : paren ? text + " (" + a + ")" : text + " · " + a;
}

// A pump's own page: its history and events (a tile is a link to it).
function pumpHref(id) {
  return "/pump/" + encodeURIComponent(id) + (params.has("lang") ? "?lang=" + LANG : "");
}

// The head of an offline reason ("radio down"): the port's whole error is said
// once per link (linksLine, and the pump's page), not on every tile.
function reasonHead(reason) { return reason.split(":")[0]; }

// Door open and near end. While the pump is current: full-width bands, seen
// from across the room. Once it is not (offline, not heard, stale): a muted
// line saying it is the last known, never a band that looks live.
// Each mark is its own element, so words may follow its text (how old the reading is).
function marks(p, current) {
  const out = [];
  const left = remaining(p.remaining_s);
  if (p.door_open) out.push(current ? line("band door", withAge(TEXT.door, p, "door")) : line("last-known door", TEXT.lastKnown + TEXT.doorWas));
  if (p.near_end) {
    out.push(current ? line("band near-end", withAge(TEXT.nearEnd + left, p, "remaining_s"))
      : line("last-known near-end", TEXT.lastKnown + TEXT.nearEndWas + left));
  }
  return out;
}

function tile(p) {
  const el = document.createElement("a");
  el.className = "tile";
  el.dataset.pump = p.id;
  el.href = pumpHref(p.id);
  const presence = shownPresence(p);
  const current = presence === "online";
  if (p.alarmed) el.classList.add("alarmed");
  if (!current) el.classList.add(presence);
  else if (!p.alarmed) el.classList.add(ACTIVE.has(p.running_name) ? "running" : "idle");

  if (wards && p.station) el.appendChild(line("ward", p.station));
  el.appendChild(line("label", p.label));
  patientLines(el, p);
  const shownMarks = marks(p, current);
  if (current) el.append(...shownMarks);

  const head = reasonHead(p.offline_reason || TEXT.notAnswering);
  const absent = presence === "offline" ? TEXT.OFFLINE : presence === "unheard" ? TEXT.NOT_HEARD : null;
  if (p.alarmed && absent) {
    // Its last alarm is not known to be over: kept, counted, and said to be the last known.
    const a = alarmLine("alarm last", absent + TEXT.lastAlarm, p);
    if (p.alarm_since) a.appendChild(document.createTextNode(TEXT.sinceComma + clockHM(p.alarm_since)));
    el.appendChild(a);
    if (presence === "offline") el.appendChild(line("reason", head));
  } else if (p.alarmed) {
    el.appendChild(alarmLine("alarm", TEXT.alarmPrefix, p));
    if (p.alarm_since) el.appendChild(line("since", TEXT.forSince(span(p.alarm_since), clock(p.alarm_since))));
  } else if (presence === "offline") {
    el.appendChild(line("state", TEXT.OFFLINE + " — " + head));
  } else if (presence === "unheard") {
    el.appendChild(line("state", TEXT.NOT_HEARD));
  }
  if (presence === "stale") {
    el.appendChild(line("state stale-note", TEXT.STALE + age(serverNow() - Date.parse(p.last_seen))));
  }
  if (p.alarmed) {
    const names = (p.alarm_words || []).map((w, i) => say(w, (p.alarm_texts || [])[i]));
    const top = say(p.top_alarm_words, p.top_alarm_text);
    const others = names.filter((w) => w && w !== top);
    if (others.length) el.appendChild(line("also", TEXT.also + others.join(", ")));
  }
  const state = say(p.running_words, p.running_text);
  if (state) {
    el.appendChild(line(current && !p.alarmed ? "state" : "facts",
      (current ? "" : TEXT.lastState) + withAge(state, p, "running")));
  }
  if (!current) el.append(...shownMarks);

  const facts = [];
  const left = remaining(p.remaining_s);
  if (left && !p.near_end) facts.push(current ? withAge(left, p, "remaining_s", true) : TEXT.lastKnown + left);
  const unit = say(p.rate_unit_words, p.rate_unit_text);
  if (unit && !COMPACT) facts.push(withAge(TEXT.rateUnit + unit, p, "rate_unit", true));
  if (facts.length) el.appendChild(line("facts", facts.join(" · ")));
  const seen = p.last_seen ? TEXT.seen(span(p.last_seen), clock(p.last_seen)) : TEXT.never;
  el.appendChild(line("seen", seen));
  return el;
}

// Who the pump serves, where the station shows it (to those who log in): each claim, marked
// when not validated or not named in HL7, and a wrong association reported.
function patientLines(el, p) {
  const all = health && health.outputs && health.outputs.patients && health.outputs.patients.pumps;
  const mine = all && all[p.id];
  if (!mine) return;
  if (mine.wrong) el.appendChild(line("band wrong-patient", TEXT.wrongPatient(clockHM(mine.wrong.time), mine.wrong.messages)));
  for (const x of mine.patients) {
    const row = line("patient" + (x.validated ? "" : " unvalidated"), TEXT.patient + x.ids.join(" / ") + (x.name ? " · " + x.name : ""));
    const notes = [];
    if (!x.validated) notes.push(TEXT.notValidated);
    if (!x.named) notes.push(x.refused ? TEXT.refusedHere : TEXT.notSent);
    if (notes.length) {
      const n = document.createElement("span");
      n.className = "note";
      n.textContent = " (" + notes.join(", ") + ")";
      row.appendChild(n);
    }
    el.appendChild(row);
  }
}

function eventItem(e) {
  const li = document.createElement("li");
  li.className = e.kind;
  const t = document.createElement("time");
  t.dateTime = e.time;
  t.textContent = clock(e.time);
  li.appendChild(t);
  const who = (wards && e.station ? e.station + " · " : "") + (e.pump || e.link);
  const what = (LANG === "zh" ? e.words_zh : e.words) || e.words || e.kind_words;
  li.appendChild(document.createTextNode(who + " — " + what));
  return li;
}

// The server's order; a pump it has not placed yet (none should be) goes last.
// The site's page shows the alarmed ones only.
function ordered() {
  const placed = new Set(order);
  const list = order.filter((id) => pumps.has(id)).map((id) => pumps.get(id));
  for (const [id, p] of pumps) if (!placed.has(id)) list.push(p);
  return scope === "?alarmed=1" ? list.filter((p) => p.alarmed) : list;
}

// Said as presence.summary says it on the terminal.
function summary(list) {
  const n = { alarmed: 0, online: 0, stale: 0, offline: 0, unheard: 0 };
  for (const p of list) {
    if (p.alarmed) n.alarmed += 1;
    n[shownPresence(p)] += 1;
  }
  return said(n, list.length);
}

function said(n, all) {
  const parts = [all + " " + TEXT.pumps, n.alarmed + " " + TEXT.inAlarm, n.offline + " " + TEXT.offline];
  if (n.unheard) parts.push(n.unheard + " " + TEXT.notHeard);
  if (n.stale) parts.push(n.stale + " " + TEXT.stale);
  return [parts.join(" · "), n.alarmed];
}

// The site's page: one card per ward, those with alarms first, each a link to the ward's tiles.
function wardCards() {
  const box = document.getElementById("wards");
  box.hidden = !site;
  if (!site) return null;
  const total = { pumps: 0, alarmed: 0, online: 0, stale: 0, offline: 0, unheard: 0 };
  const cards = wardCounts.slice().sort((a, b) => (b.alarmed > 0) - (a.alarmed > 0)).map((w) => {
    for (const k in total) total[k] += w[k] || 0;
    const a = document.createElement("a");
    a.className = "ward-card" + (w.alarmed ? " alarmed" : "") + (w.offline ? " has-offline" : "");
    a.dataset.ward = w.ward;
    a.href = link({ ward: w.ward });
    a.appendChild(line("name", w.ward || "?"));
    a.appendChild(line("count", w.pumps + " " + TEXT.pumps + " · " + w.alarmed + " " + TEXT.inAlarm + " · "
      + w.offline + " " + TEXT.offline));
    return a;
  });
  box.replaceChildren(line("heading", TEXT.wards), ...cards);
  return said(total, total.pumps);
}

// This page's address with some of its parameters changed (null: removed).
function link(change) {
  const q = new URLSearchParams(location.search);
  for (const [k, v] of Object.entries(change)) { if (v === null) q.delete(k); else q.set(k, v); }
  const s = q.toString();
  return location.pathname + (s ? "?" + s : "");
}

// A full view says whom it turns away: how many pumps, and of which gateways (the most first).
function refusedBanner() {
  const view = health && health.view;
  const el = document.getElementById("refused");
  el.hidden = !(view && view.refused_pumps > 0);
  if (el.hidden) return;
  const names = view.refused_wards.map((w) => w.ward + " (" + w.pumps + ")").join(", ");
  el.textContent = TEXT.refused(view.refused_pumps + (view.refused_pumps_more ? "+" : ""), view.max_pumps,
    view.max_pumps_per_ward, names, view.refused_wards_total - view.refused_wards.length);
}

function banners() {
  refusedBanner();
  const store = health && health.store;
  const el = document.getElementById("store");
  if (store && !store.up) {
    el.textContent = TEXT.storeDown + (store.since ? clock(store.since) : "?")
      + TEXT.storePaused + (store.error ? " (" + store.error + ")" : "");
    el.hidden = false;
  } else {
    el.hidden = true;
  }
  const gone = Date.now() - lastHeard > goneAfter * 1000;
  // Where each output sends and how it fares: what waits or was refused is said, not hidden. What
  // the station said of a connection holds only while its stream does: a dead station's is not known.
  const outputs = (health && health.outputs) || {};
  const out = document.getElementById("outputs");
  const said = [];
  let trouble = false;
  for (const name of Object.keys(outputs).sort()) {
    const o = outputs[name];
    if (!o || !o.url) continue;
    const box = o.outbox || {};
    const known = streamUp && !gone;
    const parts = [TEXT.output(OUTPUTS[name] || name.toUpperCase(), o.url)
      + (!known ? TEXT.unknown : o.connected ? TEXT.connected : TEXT.notConnected)];
    if (o.refusing_since) parts.push(TEXT.refusing(clock(o.refusing_since), o.refusal));
    parts.push(TEXT.outputCounts(o.acked || 0, o.waiting || 0, box.set_aside || 0));
    if (box.over_bound) parts.push(TEXT.overBound(box.bound));
    said.push(parts.join(" · "));
    trouble = trouble || !known || !o.connected || !!o.refusing_since || box.set_aside > 0 || !!box.over_bound;
  }
  out.textContent = said.join("\n");
  out.classList.toggle("trouble", trouble);
  out.hidden = !said.length;
  document.body.classList.toggle("gone", gone);
  const g = document.getElementById("gone");
  g.hidden = !gone;
  if (gone) {
    g.textContent = TEXT.gone(clock(new Date(lastHeard + skew).toISOString()), age(Date.now() - lastHeard));
  }
}

function render() {
  renderQueued = false;
  const box = document.getElementById("pumps");
  const list = ordered();
  const empty = scope === "?alarmed=1" ? TEXT.noAlarm : TEXT.none;
  box.replaceChildren(...(list.length ? grouped(list) : [line("empty", empty)]));
  linksLine(list);
  const ev = document.getElementById("events");
  ev.replaceChildren(...events.slice(0, SHOWN_EVENTS).map(eventItem));
  const [text, nAlarm] = wardCards() || summary(list);
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
  } else if (kind === "seen") {
    // still answering, nothing else changed
    for (const [id, heard] of Object.entries(data)) {
      const p = pumps.get(id);
      if (p) { p.last_seen = heard.t; p.read_at = heard.read_at; }
    }
  } else if (kind === "gone") {
    // forgotten by the view (not heard for its forget time): the tile goes too
    for (const id of data) pumps.delete(id);
    order = order.filter((id) => !data.includes(id));
  } else if (kind === "wards") {
    wardCounts = data;
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
    const [p, e] = await Promise.all([fetch("/api/pumps" + scope), fetch("/api/events" + scope)]);
    if (!p.ok || !e.ok) throw new Error("station answered " + p.status + "/" + e.status);
    const pj = await p.json(), ej = await e.json();
    if (pj.ward_counts) wardCounts = pj.ward_counts;
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
  streamUp = up;
  schedule();
  const el = document.getElementById("link");
  el.className = "link " + (up ? "up" : "down");
  el.textContent = up ? TEXT.live : TEXT.down;
}

// Over several gateways: one ward's tiles (?ward=), or the whole site: every
// tile when it is small, else its alarmed pumps beside the counts of each ward.
async function chooseScope() {
  if (!wards) return "";
  if (WARD !== null) return "?ward=" + encodeURIComponent(WARD);
  site = true;
  try {
    const r = await fetch("/api/pumps?alarmed=1");
    const j = await r.json();
    return j.counts.pumps > SITE_TILES ? "?alarmed=1" : "";
  } catch (err) {
    return "?alarmed=1";
  }
}

function chrome() {
  document.body.classList.toggle("compact", COMPACT);
  document.getElementById("events-title").textContent = TEXT.events;
  const lang = document.getElementById("lang");
  lang.textContent = TEXT.other;
  lang.href = link({ lang: LANG === "zh" ? "en" : "zh" });
  const size = document.getElementById("size");
  size.textContent = COMPACT ? TEXT.full : TEXT.compact;
  size.href = link({ compact: COMPACT ? null : "1" });
  const back = document.getElementById("site");
  back.hidden = !(wards && WARD !== null);
  back.textContent = TEXT.site;
  back.href = link({ ward: null });
  const title = document.getElementById("title");
  if (wards && WARD !== null) title.textContent += " · " + WARD;
  title.title = title.textContent;  // the whole name, where a long one ends in "…"
}

async function connect() {
  scope = await chooseScope();
  const es = new EventSource("/events" + scope);
  es.addEventListener("hello", () => { heard(); setLink(true); reload(); });
  for (const kind of ["pumps", "events", "order", "alive", "seen", "wards", "gone"]) {
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

// pump.js runs a pump's own page with the words and the tile of this one.
if (document.body.dataset.page !== "pump") {
  // Relative times, staleness and the station's silence move on between updates.
  setInterval(schedule, 1000);
  chrome();
  setLink(false);
  document.getElementById("link").textContent = TEXT.connecting;
  connect();
}
