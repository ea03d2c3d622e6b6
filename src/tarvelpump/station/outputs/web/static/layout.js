// The hospital's and the links' side of the live page (app.js): the site's
// tiles grouped by ward, and each link's whole error said once. Loaded before
// app.js, whose words, tiles and state these read when the page is drawn.
"use strict";

// The site's tiles by ward. Its alarmed pumps come first, under a heading of
// their own and in the server's order (the most urgent of the whole site on
// top, whichever ward it is in), then each ward's other pumps under the ward's
// name, in the server's order; wards by name, so each has a place one finds
// again. One ward's page (?ward=) and a station's own page are not grouped.
function grouped(list) {
  if (!(wards && site)) return list.map(tile);
  const heading = (text, ward) => {
    const h = line("group", ward === null ? text : "");
    if (ward !== null) {
      const a = document.createElement("a");
      a.href = link({ ward: ward });
      a.textContent = text;
      h.appendChild(a);
      h.dataset.ward = ward;
    }
    return h;
  };
  const out = [];
  const alarmed = list.filter((p) => p.alarmed);
  if (alarmed.length) out.push(heading(TEXT.alarmedOf, null), ...alarmed.map(tile));
  const per = new Map();
  for (const p of list) {
    if (!per.has(p.station)) per.set(p.station, [0, []]);
    const w = per.get(p.station);
    if (p.alarmed) w[0] += 1;
    else w[1].push(p);
  }
  for (const ward of [...per.keys()].sort((a, b) => (a < b ? -1 : a > b ? 1 : 0))) {
    const [nAlarmed, rest] = per.get(ward);
    if (!rest.length) continue;
    out.push(heading((ward || "?") + " — " + (rest.length + nAlarmed) + " " + TEXT.pumps
      + (nAlarmed ? " · " + nAlarmed + " " + TEXT.inAlarm + TEXT.above : ""), ward));
    out.push(...rest.map(tile));
  }
  return out;
}

// A link's whole error, said once (its tiles say the head): the distinct
// reasons of the offline pumps, per ward and link.
function linksLine(list) {
  const said = new Map();
  for (const p of list) {
    const reason = p.offline_reason || "";
    if (shownPresence(p) !== "offline" || reasonHead(reason) === reason) continue;
    const who = (wards && p.station ? p.station + " · " : "") + p.link;
    said.set(who + "\n" + reason, who + ": " + reason);
  }
  const el = document.getElementById("links");
  const all = [...said.values()];
  el.hidden = !all.length;
  el.textContent = all.slice(0, 5).join(" · ") + (all.length > 5 ? " · +" + (all.length - 5) : "");
}
