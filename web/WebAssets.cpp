#include "web/WebAssets.h"

#include "web/WebTexts.h"

namespace tessaro::web {

namespace {

const char* PageName(TPage page) {
  switch (page) {
    case TPage::Device: return "device";
    case TPage::Events: return "events";
    case TPage::Overview: break;
  }
  return "overview";
}

// JSON inside a script element of the page; "<" escaped so no text can end
// the element.
std::string Embedded(const std::string& json) {
  std::string out;
  for (const char c : json) {
    if (c == '<')
      out += "\\u003c";
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string PageHtml(TPage page, int language, uint8_t protocol) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"";
  html += language == 1 ? "zh-CN" : "en";
  html += "\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
          "<title>Tessaro</title>\n<link rel=\"icon\" href=\"data:,\">\n"
          "<link rel=\"stylesheet\" href=\"/static/app.css\">\n</head>\n<body data-page=\"";
  html += PageName(page);
  html += "\">\n<header><a id=\"title\" href=\"/\"></a><nav><a href=\"/\" data-t=\"overview\"></a>"
          "<a href=\"/events\" data-t=\"eventLog\"></a></nav><span id=\"port\"></span></header>\n"
          "<div id=\"offline\" class=\"banner\" role=\"status\" hidden></div>\n"
          "<div id=\"banner\" class=\"banner\" role=\"status\" hidden></div>\n<main id=\"main\"></main>\n"
          "<script id=\"texts\" type=\"application/json\">";
  html += Embedded(PageTextsJson(language));
  html += "</script>\n";
  if (page != TPage::Events) {
    html += "<script id=\"fields\" type=\"application/json\">";
    html += Embedded(PageFieldsJson(language, protocol));
    html += "</script>\n";
  }
  if (page == TPage::Device) html += "<script src=\"/static/chart.min.js\"></script>\n";
  html += "<script src=\"/static/app.js\"></script>\n</body>\n</html>\n";
  return html;
}

const std::string& AppCss() {
  static const std::string css = R"CSS(
:root { color-scheme: light dark; --teal: #006666; --bg: #fff; --fg: #1d2a2a; --panel: #f4f7f7; --line: #dde5e5;
  --hover: #eef6f6; --muted: #5a6470; --fine: #0a7a18; --battery: #b85c00; --alarm: #c41818; --silent: #5a6470;
  --waiting: #2b5fa8; --off: #6b4fa0; --box: #111; --boxfg: #7CFC00; --warn: #fff3c4; --warnfg: #4a3a00; }
@media (prefers-color-scheme: dark) {
  :root { --teal: #0d5c5c; --bg: #121619; --fg: #e3eaea; --panel: #1c2226; --line: #2c353a; --hover: #1f2a2e;
    --muted: #9aa5ad; --fine: #4cd964; --battery: #ffa64d; --alarm: #ff6b6b; --silent: #a3adb5; --waiting: #7fb0ff;
    --off: #c3a6ff; --box: #000; --warn: #4a3a00; --warnfg: #ffe9a8; }
}
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 "Noto Sans CJK SC", "Noto Sans", sans-serif; color: var(--fg); background: var(--bg); }
header { display: flex; align-items: center; flex-wrap: wrap; gap: 8px 24px; padding: 8px 16px; background: var(--teal); color: #fff; }
header a { color: #fff; text-decoration: none; }
#title { font-size: 18px; font-weight: bold; }
nav { display: flex; gap: 16px; }
nav a:hover, nav a:focus { text-decoration: underline; }
#port { margin-left: auto; font-size: 13px; }
#offline, .banner { background: var(--warn); color: var(--warnfg); padding: 6px 16px; font-weight: 600; }
main { padding: 12px 16px; }
h2 { font-size: 16px; margin: 16px 0 8px; color: var(--fg); }
table { border-collapse: collapse; width: 100%; }
th, td { padding: 4px 8px; border-bottom: 1px solid var(--line); text-align: left; vertical-align: top; }
th { background: var(--panel); font-weight: 600; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
td.num { white-space: nowrap; }
tr.row:hover { background: var(--hover); }
a { color: inherit; }
td a, h2 a { overflow-wrap: anywhere; }
.icon { display: inline-block; width: 1.3em; text-align: center; font-weight: bold; }
.look-fine { color: var(--fine); } .look-battery { color: var(--battery); font-weight: 600; }
.look-alarm { color: var(--alarm); font-weight: 600; } .look-silent { color: var(--silent); }
.look-waiting { color: var(--waiting); } .look-off { color: var(--off); }
.state small { color: var(--muted); font-weight: normal; margin-left: 6px; }
.alarms { color: var(--alarm); }
.stale td.num, .stale .val { color: var(--muted); opacity: .7; }
.bus { display: flex; gap: 8px 24px; flex-wrap: wrap; background: var(--panel); padding: 8px 12px; margin-bottom: 12px; }
.bus b { font-variant-numeric: tabular-nums; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(190px, 100%), 1fr)); gap: 8px; }
.box { background: var(--box); color: var(--boxfg); padding: 6px 10px; border-radius: 3px; }
.box .cap { color: #cde; font-size: 12px; }
.box .val { font-size: 20px; font-weight: bold; text-align: right; font-variant-numeric: tabular-nums; }
.row2 { display: flex; gap: 8px 24px; flex-wrap: wrap; margin-top: 8px; }
.charts { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(420px, 100%), 1fr)); gap: 16px; }
.chart { height: 240px; position: relative; }
.tabs button, .filters button { margin-right: 6px; }
.tabs button.on { background: var(--teal); color: #fff; border-color: var(--teal); }
button, select, input { font: inherit; padding: 2px 8px; }
.filters { display: flex; gap: 12px; align-items: center; flex-wrap: wrap; background: var(--panel); padding: 8px 12px; }
.pager { margin: 8px 0; display: flex; gap: 12px; align-items: center; flex-wrap: wrap; }
.muted { color: var(--muted); }
.sr-only { position: absolute; width: 1px; height: 1px; overflow: hidden; clip: rect(0 0 0 0); white-space: nowrap; }
/* Phones: one card per device, what matters first. */
@media (max-width: 760px) {
  main { padding: 8px; }
  #overview thead { display: none; }
  #overview, #overview tbody, #overview tr, #overview td { display: block; width: 100%; }
  #overview tr { display: flex; flex-direction: column; border: 1px solid var(--line); border-radius: 6px;
    margin-bottom: 10px; padding: 6px 10px; background: var(--bg); }
  #overview td { border: 0; padding: 2px 0; text-align: left; display: flex; justify-content: space-between; gap: 12px; }
  #overview td[data-label]::before { content: attr(data-label); color: var(--muted); text-align: left; }
  #overview td.name { order: 0; font-size: 16px; font-weight: 600; }
  #overview td.state { order: 1; }
  #overview td.c-charge { order: 2; } #overview td.c-runtime { order: 3; } #overview td.alarms { order: 4; }
  #overview td.c-inputV { order: 5; } #overview td.c-outputV { order: 6; } #overview td.c-load { order: 7; }
  #overview td.addr { order: 8; }
  #overview td.alarms:empty { display: none; }
  #events td { overflow-wrap: anywhere; }
}
)CSS";
  return css;
}

const std::string& AppJs() {
  static const std::string js = R"JS('use strict';
const T = JSON.parse(document.getElementById('texts').textContent);
const fieldsJson = document.getElementById('fields');
const F = fieldsJson ? JSON.parse(fieldsJson.textContent) : {};
const page = document.body.dataset.page;

function el(tag, props, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (k === 'class') e.className = v; else if (k === 'text') e.textContent = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v); else e.setAttribute(k, v);
  }
  for (const k of kids) if (k !== null && k !== undefined) e.append(k);
  return e;
}
function fmt(v, d) { return (v === undefined || v === null) ? '—' : Number(v).toFixed(d); }
// A field of the server's list, from a device's values.
function shown(v, f) { return v[f.key] === undefined ? '—' : fmt(v[f.key] / f.divisor, f.decimals); }
// What a device is doing: an icon, a colour and a word, never colour alone.
const Looks = {
  fine: { icon: '✓', text: T.lookFine, rank: 0 }, waiting: { icon: '…', text: T.lookWaiting, rank: 1 },
  off: { icon: '○', text: T.lookOff, rank: 2 }, silent: { icon: '✕', text: T.lookSilent, rank: 3 },
  alarm: { icon: '⚠', text: T.lookAlarm, rank: 4 }, battery: { icon: '⚡', text: T.lookBattery, rank: 5 },
};
const LookColors = { fine: '#0a7a18', waiting: '#2b5fa8', off: '#6b4fa0', silent: '#5a6470', alarm: '#c41818', battery: '#b85c00' };
function look(d) { return Looks[d.look] ? d.look : 'silent'; }
function icon(l) { return el('span', { class: 'icon', 'aria-hidden': 'true', text: Looks[l].icon }); }
// Sets a node's text only when it changed, so selection and focus stay.
function put(node, text) { text = String(text); if (node.textContent !== text) node.textContent = text; }
function clock(t) { return t ? t.slice(11, 19) : T.never; }
// The tab's title and icon say the worst state on the bus.
function showWorst(devices) {
  let worst = 'fine';
  for (const d of devices) if (Looks[look(d)].rank > Looks[worst].rank) worst = look(d);
  document.title = (worst === 'fine' ? '' : Looks[worst].icon + ' ' + Looks[worst].text + ' · ') + T.title;
  document.body.dataset.worst = worst;
  if (showWorst.last === worst) return;
  showWorst.last = worst;
  const c = el('canvas', { width: 16, height: 16 }), g = c.getContext('2d');
  g.fillStyle = LookColors[worst]; g.beginPath(); g.arc(8, 8, 7, 0, 2 * Math.PI); g.fill();
  document.querySelector('link[rel=icon]').href = c.toDataURL('image/png');
}
function caption(d) { return d.tree.caption; }

document.getElementById('title').textContent = T.title;
document.querySelectorAll('[data-t]').forEach(e => { e.textContent = T[e.dataset.t]; });

function showPort(bus) {
  const p = document.getElementById('port');
  let text = bus.port.open ? bus.port.name + T.portOpenSuffix : T.portClosed;
  if (bus.port.paused) text += ' · ' + T.paused;
  put(p, text);
  const banner = document.getElementById('banner');
  const say = !bus.port.open ? T.bannerClosed : bus.port.paused ? T.bannerPaused : '';
  put(banner, say);
  banner.hidden = !say;
}

// A stream patch's "a/b" path set on the bus or a device as it was last seen.
function setPath(o, key, v) {
  const i = key.indexOf('/');
  if (i < 0) { o[key] = v; return; }
  const head = key.slice(0, i);
  if (!o[head] || typeof o[head] !== 'object') o[head] = {};
  o[head][key.slice(i + 1)] = v;
}
// Live data: one event stream, the whole bus first and then only what
// changed; while it is down, the page asks every 2 s.
function live(onDevices) {
  let timer = null, bus = null;
  const got = b => { offline(false); bus = b; onDevices(b); };
  const poll = () => fetch('/api/v1/devices').then(r => r.json()).then(got).catch(() => offline(true));
  const startPolling = () => { if (!timer) { timer = setInterval(poll, 2000); poll(); } };
  poll();
  if (!window.EventSource) { startPolling(); return; }
  const es = new EventSource('/api/v1/stream');
  const streaming = () => { if (timer) { clearInterval(timer); timer = null; } };
  es.addEventListener('devices', ev => { streaming(); got(JSON.parse(ev.data)); });
  es.addEventListener('patch', ev => {
    if (!bus) return;
    streaming();
    const p = JSON.parse(ev.data);
    for (const [k, v] of Object.entries(p)) {
      if (k !== 'devices') { setPath(bus, k, v); continue; }
      for (const [address, changes] of Object.entries(v)) {
        const d = bus.devices.find(x => String(x.address) === address);
        if (d) for (const [dk, dv] of Object.entries(changes)) setPath(d, dk, dv);
      }
    }
    got(bus);
  });
  es.onerror = () => startPolling();
}
function offline(on) {
  const o = document.getElementById('offline');
  o.textContent = T.offline; o.hidden = !on;
}

// ---- overview
function overview() {
  const main = document.getElementById('main');
  const bus = el('div', { class: 'bus', id: 'bus' });
  const head = el('tr', {},
    el('th', { text: T.name }), el('th', { class: 'num', text: T.address }), el('th', { text: T.state }),
    ...F.columns.map(c => el('th', { class: 'num', text: T[c.title] })), el('th', { text: T.alarms }));
  const body = el('tbody', { id: 'devices' });
  main.append(bus, el('table', { id: 'overview' }, el('thead', {}, head), body));
  const busCells = [T.port, T.txCount, T.rxCount, T.refused].map(t => { const b = el('b'); bus.append(el('span', {}, t + ': ', b)); return b; });
  // One row per device, made once; updates change only the texts that changed.
  const rows = new Map();
  const makeRow = d => {
    const link = el('a', { href: '/device/' + d.address });
    const stateIcon = el('span', { class: 'icon', 'aria-hidden': 'true' });
    const stateText = el('span', { class: 'look' }), detail = el('small');
    const r = {
      tr: el('tr', { class: 'row', 'data-address': d.address }),
      link, stateIcon, stateText, detail,
      name: el('td', { class: 'name' }, link),
      addr: el('td', { class: 'num addr', 'data-label': T.address }),
      state: el('td', { class: 'state' }, el('span', {}, stateIcon, stateText), ' ', detail),
      values: F.columns.map(c => el('td', { class: 'num c-' + c.title, 'data-label': T[c.title], text: '—' })),
      alarms: el('td', { class: 'alarms' }),
    };
    r.tr.append(r.name, r.addr, r.state, ...r.values, r.alarms);
    return r;
  };
  live(b => {
    showPort(b);
    showWorst(b.devices);
    [b.port.name + ' ' + (b.port.open ? '✔' : '✘'), b.port.requestsSent, b.port.receives, b.port.answersRefused]
      .forEach((v, i) => put(busCells[i], v));
    const seen = new Set();
    b.devices.forEach((d, i) => {
      seen.add(d.address);
      let r = rows.get(d.address);
      if (!r) { r = makeRow(d); rows.set(d.address, r); }
      if (body.children[i] !== r.tr) body.insertBefore(r.tr, body.children[i] || null);
      const l = look(d);
      put(r.link, d.name);
      put(r.addr, d.address);
      r.state.className = 'state look-' + l;
      put(r.stateIcon, Looks[l].icon);
      put(r.stateText, Looks[l].text);
      // A device that is not up keeps its last readings, greyed, with the time they are from.
      put(r.detail, d.up ? (d.state && d.state.text !== Looks[l].text ? d.state.text : '')
                         : (d.link.lastAnswer ? T.lastSeen + ' ' + clock(d.link.lastAnswer) : ''));
      r.tr.classList.toggle('stale', !d.up);
      if (d.up) F.columns.forEach((c, k) => put(r.values[k], c.fields.map(f => shown(d.values, f)).join(' / ')));
      put(r.alarms, d.alarms.map(a => a.text || ('#' + a.code)).join('; '));
    });
    for (const [a, r] of rows) if (!seen.has(a)) { r.tr.remove(); rows.delete(a); }
  });
}

// ---- device page
function devicePage() {
  const address = Number(location.pathname.split('/').pop());
  const main = document.getElementById('main');
  const head = el('h2', { id: 'device-title' });
  const state = el('div', { id: 'device-state' });
  const boxes = el('div', { class: 'grid', id: 'values' });
  const info = el('div', { class: 'row2', id: 'info' });
  const alarmList = el('ul', { class: 'alarms', id: 'alarm-list' });
  const tabs = el('div', { class: 'tabs' });
  const charts = el('div', { class: 'charts', id: 'charts' });
  main.append(head, state, el('h2', { text: T.realTime }), boxes, info, el('h2', { text: T.alarm }), alarmList,
    el('h2', { text: T.graph }), tabs, charts);
  const box = (cap, val, unit) => el('div', { class: 'box' }, el('div', { class: 'cap', text: cap }),
    el('div', { class: 'val', text: val + (unit ? ' ' + unit : '') }));
  let seen = -1;
  const refresh = () => fetch('/api/v1/devices/' + address).then(r => r.json()).then(b => {
    showPort(b);
    const d = b.device, v = d.values;
    const l = look(d);
    showWorst([d]);
    head.replaceChildren(icon(l), d.name + '  (' + T.address + ' ' + d.address + ')');
    state.className = 'state look-' + l;
    state.textContent = Looks[l].text + (d.up ? (caption(d) ? ' · ' + caption(d) : '') : '  — ' + T.stale);
    const last = T.lastAnswer + ': ' + (d.link.lastAnswer || T.never);
    // Without current values the last ones stay, greyed.
    boxes.classList.toggle('stale', !d.up);
    if (d.up || !boxes.children.length) boxes.replaceChildren(...F.boxes.map(f => box(f.caption, shown(v, f), f.unit)));
    const parts = [el('span', { text: last })];
    const f = d.forcedShutdown;
    if (f) {
      const who = f.by + (f.from ? ' (' + f.from + ')' : '');
      parts.unshift(el('span', { class: 'state alarm', text: T.forcedShutdown + ': ' + who + ', ' + f.at }));
    }
    if (d.batteryTest) parts.push(el('span', { text: T.batteryTest + ': ' + d.batteryTest.result + ', ' + d.batteryTest.date }));
    if (d.supply) {
      parts.push(el('span', { text: T.inputSupply + ' ' + d.supply.input.text }),
                 el('span', { text: T.upsSupply + ' ' + d.supply.ups.text }));
      const w = d.statusWords;
      parts.push(el('span', { class: 'muted', text: T.statusWords + ': ' + [w.cmmState, w.invState, w.cmmAlarm, w.invAlarm, w.sysState, w.sysAlarm].filter(x => x).join(' ') }));
    }
    info.replaceChildren(...parts);
    alarmList.replaceChildren(...d.alarms.map(a => el('li', { text: a.text || ('#' + a.code) })));
  }).then(() => offline(false)).catch(() => offline(true));
  live(b => { if (b.sequence !== seen) { seen = b.sequence; refresh(); } });

  // Trends from the data log.
  const defs = F.charts.map(c => ({ title: T[c.title], keys: c.keys, labels: c.labels }));
  const unitOf = {};
  for (const f of F.boxes) unitOf[f.key] = f.unit;
  const colors = ['#e02020', '#20a020', '#2040e0'];
  const two = n => String(n).padStart(2, '0');
  const tick = (ms, long) => { const t = new Date(ms);
    return (long ? two(t.getMonth() + 1) + '-' + two(t.getDate()) + ' ' : '') + two(t.getHours()) + ':' + two(t.getMinutes()); };
  let range = '24h';
  const made = [];
  // Points with a gap of more than two buckets between them are not joined.
  const withGaps = (tr, ys) => {
    const out = [];
    tr.t.forEach((t, j) => {
      if (j > 0 && t - tr.t[j - 1] > 2.5 * tr.bucketMs) out.push({ x: (t + tr.t[j - 1]) / 2, y: null });
      out.push({ x: t, y: ys[j] });
    });
    return out;
  };
  const draw = () => fetch('/api/v1/trend/' + address + '?range=' + range).then(r => r.json()).then(tr => {
    made.forEach(c => c.destroy()); made.length = 0;
    charts.replaceChildren();
    if (!window.Chart) { charts.append(el('p', { class: 'muted', text: T.noData })); return; }
    const long = range === '7d';
    // Short data fills the chart, with a note of when it starts.
    const from = tr.first && tr.first > tr.from ? tr.first : tr.from;
    if (tr.first && tr.first > tr.from + (tr.to - tr.from) * 0.05)
      charts.append(el('p', { class: 'muted', id: 'collecting', text: T.collectingSince + ' ' + tick(tr.first, true) }));
    for (const def of defs) {
      const keys = def.keys.filter(k => tr.series[k]);
      if (!keys.length) continue;
      const axes = {}, datasets = [];
      keys.forEach((k, i) => {
        const unit = unitOf[k] || '', axis = unit === '%' ? 'pct' : 'y' + unit;
        if (!axes[axis]) axes[axis] = { position: Object.keys(axes).length ? 'right' : 'left', title: { display: true, text: unit },
          ...(unit === '%' ? { min: 0, max: 100 } : {}), grid: { drawOnChartArea: !Object.keys(axes).length } };
        const label = def.labels[def.keys.indexOf(k)];
        // The band of lowest to highest readings behind the averages, filled between its edges.
        if (tr.min && tr.min[k]) {
          datasets.push({ label: label + ' min', yAxisID: axis, data: withGaps(tr, tr.min[k]), borderWidth: 0, pointRadius: 0,
            backgroundColor: colors[i] + '33', fill: false, band: true });
          datasets.push({ label: label + ' max', yAxisID: axis, data: withGaps(tr, tr.max[k]), borderWidth: 0, pointRadius: 0,
            backgroundColor: colors[i] + '33', fill: '-1', band: true });
        }
        datasets.push({ label, yAxisID: axis, borderColor: colors[i], backgroundColor: colors[i], borderWidth: 1.5,
          pointRadius: tr.t.length < 3 ? 3 : 0, spanGaps: false, data: withGaps(tr, tr.series[k]) });
      });
      const canvas = el('canvas', { 'data-chart': def.keys[0], role: 'img', 'aria-label': def.title });
      // For screen readers: each line's lowest, average and highest value.
      const summary = el('table', { class: 'sr-only' }, el('caption', { text: def.title }),
        el('tr', {}, ...['', T.lowest, T.average, T.highest].map(t => el('th', { text: t }))),
        ...keys.map(k => { const v = tr.series[k].filter(x => x !== null);
          const avg = v.reduce((a, b) => a + b, 0) / (v.length || 1);
          return el('tr', {}, el('th', { text: def.labels[def.keys.indexOf(k)] + ' (' + (unitOf[k] || '') + ')' }),
            ...[Math.min(...(tr.min && tr.min[k] || v)), avg, Math.max(...(tr.max && tr.max[k] || v))]
              .map(x => el('td', { text: v.length ? fmt(x, 1) : '—' }))); }));
      charts.append(el('div', {}, el('h3', { text: def.title }), el('div', { class: 'chart' }, canvas), summary));
      made.push(new Chart(canvas, {
        type: 'line',
        data: { datasets },
        options: { animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
          scales: { x: { type: 'linear', min: from, max: tr.to, title: { display: true, text: T.timeAxis },
            ticks: { callback: v => tick(v, long), maxTicksLimit: 8 } }, ...axes },
          plugins: { legend: { labels: { filter: item => !datasets[item.datasetIndex].band } },
            tooltip: { filter: item => !item.dataset.band,
              callbacks: { title: items => items.length ? tick(items[0].parsed.x, true) : '' } } } },
      }));
    }
    if (!made.length) charts.append(el('p', { class: 'muted', text: T.noData }));
    document.body.dataset.charts = String(made.length);
  }).catch(() => offline(true));
  for (const [r, key] of [['1h', 'last1h'], ['6h', 'last6h'], ['24h', 'last24h'], ['7d', 'last7d']]) {
    tabs.append(el('button', { 'data-range': r, class: r === range ? 'on' : '', text: T[key], onclick: ev => {
      range = r; tabs.querySelectorAll('button').forEach(b => b.classList.toggle('on', b === ev.target)); draw(); } }));
  }
  draw();
  setInterval(draw, 60000);
}

// ---- events page
function eventsPage() {
  const main = document.getElementById('main');
  const now = new Date();
  const mode = el('select', { id: 'mode' }, ...['all', 'year', 'month', 'date'].map((m, i) =>
    el('option', { value: m, text: T[m], ...(i === 2 ? { selected: 'selected' } : {}) })));
  const year = el('input', { id: 'year', type: 'number', min: 2000, max: 2100, value: now.getFullYear() });
  const month = el('input', { id: 'month', type: 'number', min: 1, max: 12, value: now.getMonth() + 1 });
  const day = el('input', { id: 'day', type: 'number', min: 1, max: 31, value: now.getDate() });
  const useAddr = el('input', { id: 'use-address', type: 'checkbox' });
  const addr = el('input', { id: 'address', type: 'number', min: 1, max: 254, value: 1, disabled: 'disabled' });
  const encoding = el('select', { id: 'encoding' }, el('option', { value: 'gbk', text: 'GBK' }), el('option', { value: 'utf-8', text: 'UTF-8' }));
  const exportLink = el('a', { id: 'export', text: T.export });
  const search = el('button', { id: 'search', text: T.search });
  const enable = () => {
    const m = mode.value;
    year.disabled = m === 'all'; month.disabled = m === 'all' || m === 'year'; day.disabled = m !== 'date';
    addr.disabled = !useAddr.checked;
  };
  mode.addEventListener('change', enable); useAddr.addEventListener('change', enable);
  main.append(el('div', { class: 'filters' },
    el('label', {}, T.searchType + ' ', mode), el('label', {}, T.year + ' ', year), el('label', {}, T.month + ' ', month),
    el('label', {}, T.date + ' ', day), el('label', {}, useAddr, ' ' + T.specifyAddress + ' '), addr, search,
    el('span', {}, encoding, ' ', exportLink)));
  const pager = el('div', { class: 'pager' });
  const body = el('tbody', { id: 'events' });
  main.append(pager, el('table', {}, el('thead', {}, el('tr', {}, ...T.eventColumns.map((c, i) =>
    el('th', { class: i === 3 ? '' : 'num', text: c })))), body));
  const pageSize = 50;
  let offset = 0;
  const query = () => {
    const q = new URLSearchParams();
    const m = mode.value;
    if (m !== 'all') q.set('year', year.value);
    if (m === 'month' || m === 'date') q.set('month', month.value);
    if (m === 'date') q.set('day', day.value);
    if (useAddr.checked) q.set('address', addr.value);
    return q;
  };
  const load = () => {
    const q = query();
    const csv = new URLSearchParams(q); csv.set('encoding', encoding.value);
    exportLink.href = '/api/v1/events.csv?' + csv;
    q.set('offset', offset); q.set('limit', pageSize);
    fetch('/api/v1/events?' + q).then(r => r.ok ? r.json() : r.json().then(e => { throw new Error(e.message); })).then(b => {
      offline(false);
      body.replaceChildren(...b.events.map(e => el('tr', {},
        el('td', { class: 'num', text: e.index }), el('td', { class: 'num', text: e.time }),
        el('td', { class: 'num', text: e.address || '' }), el('td', { text: e.event }))));
      const pages = Math.max(1, Math.ceil(b.total / pageSize));
      const at = Math.floor(offset / pageSize) + 1;
      pager.replaceChildren(
        el('button', { id: 'prev', text: T.prev, ...(offset === 0 ? { disabled: 'disabled' } : {}),
          onclick: () => { offset = Math.max(0, offset - pageSize); load(); } }),
        el('span', { id: 'page-info', text: T.page + ' ' + at + ' / ' + pages + ' · ' + b.total + ' ' + T.rows }),
        el('button', { id: 'next', text: T.next, ...(offset + pageSize >= b.total ? { disabled: 'disabled' } : {}),
          onclick: () => { offset += pageSize; load(); } }));
    }).catch(e => { pager.replaceChildren(el('span', { class: 'alarms', text: String(e.message || e) })); });
  };
  search.addEventListener('click', () => { offset = 0; load(); });
  encoding.addEventListener('change', load);
  enable();
  load();
  fetch('/api/v1/devices').then(r => r.json()).then(showPort).catch(() => {});
}

if (page === 'overview') overview();
else if (page === 'device') devicePage();
else if (page === 'events') eventsPage();
)JS";
  return js;
}

}  // namespace tessaro::web
