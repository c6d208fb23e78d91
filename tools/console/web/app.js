// The console page. Everything it knows comes from the console process:
// /api/info once, /api/history for the charts so far, then the event
// stream. Commands go as POSTs carrying the launch token; every answer is
// shown beside the control that asked.
'use strict';

const TOKEN = document.body.dataset.token;
// The token has done its work in the address bar: kept there it would be
// in the history, in bookmarks and on screen. The page keeps it for its
// own requests; a new page needs the URL the console printed.
(() => {
  const query = new URLSearchParams(location.search);
  if (!query.has('token')) return;
  query.delete('token');
  const rest = query.toString();
  history.replaceState(null, '', location.pathname + (rest ? '?' + rest : '') + location.hash);
})();
const COMMAND_TIMEOUT_MS = 45000;  // the daemon's own waits are shorter; no spinner outlives this
const MAX_RECORDS = 3000;
const MAX_POINTS = 7200;

const $ = (id) => document.getElementById(id);
const state = { info: null, level: -1, link: 'connecting', paused: false, records: [], transfers: {} };
// The charts' data, open to anyone who wants to read it (the browser tests do).
const series = { motor: [], temps: [], weight: [] };
window.mifConsole = { series, state };

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') node.className = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v !== undefined && v !== null && v !== false) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) node.append(c);
  return node;
}

// ------------------------------------------------------------------ requests

async function api(method, path, body, timeoutMs) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeoutMs || COMMAND_TIMEOUT_MS);
  try {
    const options = { method, headers: { 'X-Console-Token': TOKEN }, signal: abort.signal };
    if (body !== undefined) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    const res = await fetch(path, options);
    const type = res.headers.get('Content-Type') || '';
    if (type.startsWith('application/json')) return await res.json();
    return { sent: false, ok: false, text: (await res.text()).trim() || ('HTTP ' + res.status) };
  } catch (e) {
    return { sent: false, ok: false, text: e.name === 'AbortError' ? 'no answer from the console in time' : 'the console does not answer' };
  } finally {
    clearTimeout(timer);
  }
}

// Shows an answer beside its control, and a NAK also in the banner.
function showAnswer(span, result, what) {
  span.className = 'answer ' + (result.ok ? 'ok' : 'nak');
  span.textContent = result.text || (result.ok ? 'ACK' : 'failed');
  span.title = new Date().toLocaleTimeString();
  if (!result.ok) showNak((what ? what + ': ' : '') + (result.text || 'failed'));
}

function busy(span) {
  span.className = 'answer busy';
  span.textContent = '…';
}

async function command(alias, args, span) {
  if (span) busy(span);
  const result = await api('POST', '/api/command', { alias, args: args || [] });
  if (span) showAnswer(span, result, alias);
  return result;
}

let nakTimer = null;
function showNak(text) {
  $('nak-banner-text').textContent = text;
  $('nak-banner').classList.remove('hidden');
  clearTimeout(nakTimer);
  nakTimer = setTimeout(() => $('nak-banner').classList.add('hidden'), 12000);
}
$('nak-close').addEventListener('click', () => $('nak-banner').classList.add('hidden'));

$('all-off').addEventListener('click', async () => {
  busy($('ans-all-off'));
  // The knob's way down takes up to 24 steps, after the raw stop.
  showAnswer($('ans-all-off'), await api('POST', '/api/all-off', undefined, 60000), 'All off');
});

// ------------------------------------------------------------------ header and banner

function renderIdentity(serial) {
  const box = $('identity');
  box.replaceChildren();
  for (const f of serial || []) {
    box.append(el('div', { title: f.label + ' (' + f.key + ')' }, el('dt', {}, f.label), el('dd', { 'data-key': f.key }, f.value)));
  }
}

// Per link state: banner style, what it says, whether to offer Reconnect.
const LINK_TEXT = {
  connecting: ['info', 'Connecting to the daemon…', false],
  unreachable: ['', 'The daemon is unreachable.', true],
  refused: ['', 'The daemon refused the console\'s key.', true],
  lost: ['', 'The daemon closed this console\'s session: another client connected to it, or the daemon stopped. The console does not reconnect by itself.', true],
  // A lost session, when the console could tell why (a daemon on this machine).
  displaced: ['', 'Another client connected to the daemon and took this console\'s session; the daemon still runs. Reconnect takes the session back (and drops the other client).', true],
  stopped: ['', 'The daemon stopped: nothing listens at its address any more. Start it again, then Reconnect.', true],
  console: ['', 'The console process does not answer (stopped?). Start it again and reload this page.', false],
};

let caldataRead = false;
function renderStatus(status) {
  const wasUp = state.link === 'up';
  state.link = status.link;
  if (status.link === 'up' && !wasUp && state.info && !caldataRead && state.level !== 0) {
    caldataRead = true;
    readCaldata();
  }
  $('link-dot').className = 'dot ' + status.link;
  if (status.serial && status.serial.length) renderIdentity(status.serial);
  const banner = $('link-banner');
  const entry = LINK_TEXT[status.link === 'lost' && status.cause ? status.cause : status.link];
  if (!entry) { banner.classList.add('hidden'); }
  else {
    banner.className = 'banner ' + entry[0];
    banner.dataset.link = status.link;
    banner.dataset.cause = status.cause || '';
    $('link-banner-text').textContent = entry[1];
    // The connection's own words, unless they only repeat the banner.
    const detail = status.message || '';
    $('link-banner-detail').textContent = detail.startsWith('daemon displaced us') ? '' : detail;
    $('reconnect').classList.toggle('hidden', !entry[2]);
  }
  document.body.classList.toggle('stale', status.link !== 'up');
  let note = '';
  if (status.link !== 'up') note = 'last known values: not connected';
  else if (state.level >= 0 && state.level < 5) note = 'the state log needs level 5: with the ' + state.info.role + ' key only the scale is live';
  $('machine-note').textContent = note;
  updateEnabled();
}

$('reconnect').addEventListener('click', async () => {
  $('reconnect').disabled = true;
  renderStatus({ link: 'connecting', message: '' });
  const status = await api('POST', '/api/reconnect', undefined, 60000);
  $('reconnect').disabled = false;
  if (status.link) renderStatus(status);
  else renderStatus({ link: 'unreachable', message: status.text });
});

// ------------------------------------------------------------------ machine panel

const PANEL = [
  ['speed', 'Speed (GUI)'], ['speed_set', 'Speed set'], ['motor_speed', 'Motor speed'], ['motor_current', 'Motor current'],
  ['mode', 'Motor mode'], ['direction', 'Direction'], ['timer', 'Timer'], ['timer_set', 'Timer set'],
  ['heater', 'Heating'], ['target_temperature', 'Target temp.'],
  ['temperature', 'Temperature'], ['bowl_temperature', 'Bowl temp.'], ['motor_temperature', 'Motor temp.'],
  ['lid', 'Lid'], ['left_lock', 'Left lid lock'], ['right_lock', 'Right lid lock'], ['lid_lock', 'Lid lock set'],
  ['bowl', 'Bowl'], ['transport', 'Transport lock'], ['transport_set', 'Transport set'], ['relays', 'Relays'],
  ['light', 'Light'], ['weight', 'Weight'], ['error', 'Last machine error'], ['event', 'Last event'], ['test_result', 'Test result'],
];

// Times on the page are the console's clock, as on the charts' axis; the
// machine's own stamp is in the tooltip.
function seenAt(entry) {
  return entry.seen_ms ? new Date(entry.seen_ms).toLocaleTimeString() : '';
}

// Heating: what the machine last reported of its heater and from where,
// with what this console switched, so that the two never look like two
// states of one thing.
function heatingTile(panel) {
  const report = panel.heater, commanded = panel.heating;
  const lines = [];
  if (report) lines.push((report.source || 'machine') + ', ' + seenAt(report) + (report.target !== undefined ? ', target ' + report.target + ' °C' : ''));
  else lines.push('no report from the machine yet');
  if (commanded) lines.push('heating switched ' + commanded.text + ' from this console');
  const value = report ? report.text : commanded ? 'switched ' + commanded.text : '–';
  return el('div', { class: 'tile wide-tile' + (report ? '' : ' none') + (report && report.on ? ' heating' : ''), 'data-key': 'heater',
    title: report ? 'machine time ' + report.time : '' },
    el('div', { class: 'k' }, 'Heating'),
    el('div', { class: 'v' }, value),
    ...lines.map((line) => el('div', { class: 't' }, line)));
}

function renderPanel(panel) {
  state.panel = panel;
  const box = $('panel');
  box.replaceChildren();
  for (const [key, label] of PANEL) {
    if (key === 'heater') {
      box.append(heatingTile(panel));
      continue;
    }
    const entry = panel[key];
    const alarm = key === 'error' && entry && entry.active;
    const note = !entry ? 'not reported yet' : entry.set_here ? 'set from this console'
      : entry.seen_ms ? seenAt(entry) : entry.ad !== undefined ? 'AD ' + entry.ad : '';
    const tile = el('div', { class: 'tile' + (entry ? '' : ' none') + (alarm ? ' alarm' : '') + (entry && entry.set_here ? ' set-here' : ''), 'data-key': key,
      title: entry && entry.time ? 'machine time ' + entry.time + (entry.detail ? ' · ' + entry.detail : '') : '' },
      el('div', { class: 'k' }, label),
      el('div', { class: 'v' }, entry ? String(entry.text) : '–'),
      el('div', { class: 't' }, note));
    box.append(tile);
  }
  if (state.level >= 0 && state.level < 5) $('machine-clock').textContent = 'needs level 5';
  else if (panel.machine_clock) $('machine-clock').textContent = panel.machine_clock.text || '–';
  if (panel.weight) {
    $('scale-weight').textContent = panel.weight.text;
    $('scale-ad').textContent = panel.weight.ad !== undefined ? 'AD ' + panel.weight.ad : '';
  }
}

// ------------------------------------------------------------------ charts

const charts = {};
function makeChart(id, labels, colors, extra) {
  return new Dygraph($(id), [[new Date(), ...labels.slice(1).map(() => null)]], Object.assign({
    labels, colors, connectSeparatedPoints: true, drawPoints: false, strokeWidth: 1.6,
    legend: 'always', labelsSeparateLines: false, labelsKMB: false, gridLineColor: '#e3e7eb',
    axisLabelFontSize: 11, xAxisLabelWidth: 60,
  }, extra || {}));
}

function initCharts() {
  // Speed and current on axes of their own, each in its series' colour, the
  // current dashed: two lines that cross are never read off the wrong axis.
  charts.motor = makeChart('chart-motor', ['time', 'speed (rpm)', 'current (mA)'], ['#1f6fb2', '#d0702a'], {
    series: { 'current (mA)': { axis: 'y2', strokePattern: [6, 3], strokeWidth: 2 } },
    axes: { y: { axisLineColor: '#1f6fb2' }, y2: { independentTicks: true, drawGrid: false, axisLineColor: '#d0702a' } },
    ylabel: 'speed (rpm)', y2label: 'current (mA)', rightGap: 10,
  });
  charts.temps = makeChart('chart-temps', ['time', 'displayed', 'bowl', 'motor'], ['#b3261e', '#7b3fb0', '#2a8f7b']);
  charts.weight = makeChart('chart-weight', ['time', 'weight'], ['#1b7f3b'], { fillGraph: true });
}

function addSample(s) {
  const t = new Date(s.t);
  series.motor.push([t, s.motor_speed, s.motor_current]);
  series.temps.push([t, s.temperature, s.bowl_temperature, s.motor_temperature]);
  series.weight.push([t, s.weight]);
  for (const k of Object.keys(series)) if (series[k].length > MAX_POINTS) series[k].splice(0, series[k].length - MAX_POINTS);
}

let redrawPending = false;
function redrawCharts() {
  if (state.paused || redrawPending) return;
  redrawPending = true;
  requestAnimationFrame(() => {
    redrawPending = false;
    for (const k of Object.keys(charts)) {
      if (!series[k].length) continue;
      // A zoomed chart keeps its window while new points arrive.
      const zoomed = charts[k].isZoomed('x');
      charts[k].updateOptions(zoomed ? { file: series[k] } : { file: series[k], dateWindow: null });
    }
  });
}

$('pause').addEventListener('click', () => {
  state.paused = !state.paused;
  $('pause').textContent = state.paused ? 'Resume' : 'Pause';
  if (!state.paused) redrawCharts();
});
$('unzoom').addEventListener('click', () => { for (const c of Object.values(charts)) c.resetZoom(); });
$('csv').addEventListener('click', () => {
  const lines = ['time,motor_speed,motor_current,temperature,bowl_temperature,motor_temperature,weight'];
  const v = (x) => (x === null || x === undefined ? '' : x);
  for (let i = 0; i < series.motor.length; i++) {
    const m = series.motor[i], t = series.temps[i], w = series.weight[i];
    if ([m[1], m[2], t[1], t[2], t[3], w[1]].every((x) => x === null || x === undefined)) continue;
    lines.push([m[0].toISOString(), v(m[1]), v(m[2]), v(t[1]), v(t[2]), v(t[3]), v(w[1])].join(','));
  }
  const url = URL.createObjectURL(new Blob([lines.join('\n') + '\n'], { type: 'text/csv' }));
  const a = el('a', { href: url, download: 'machine-trends.csv' });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 5000);
});

// ------------------------------------------------------------------ state records

function addRecords(list) {
  for (const r of list) state.records.push(r);
  if (state.records.length > MAX_RECORDS) state.records.splice(0, state.records.length - MAX_RECORDS);
  renderRecords();
}

function renderRecords() {
  const filter = $('record-filter').value.trim().toLowerCase();
  const body = $('record-table').tBodies[0];
  const rows = [];
  let shown = 0;
  for (let i = state.records.length - 1; i >= 0 && shown < 500; i--) {
    const r = state.records[i];
    const text = r.error ? 'cannot decode: ' + r.error + ' (' + r.raw + ')' : r.text;
    if (filter && !((r.code || '') + ' ' + (r.label || '') + ' ' + text).toLowerCase().includes(filter)) continue;
    rows.push(el('tr', { class: r.error ? 'err' : '' }, el('td', {}, r.time || ''), el('td', { class: 'code' }, r.code || '?'),
      el('td', {}, r.label || ''), el('td', {}, text)));
    shown++;
  }
  if (!rows.length) {
    const why = state.records.length ? 'no record matches the filter'
      : state.level >= 0 && state.level < 5 ? 'the state log needs level 5' : 'no records yet';
    rows.push(el('tr', {}, el('td', { colspan: 4, class: 'muted' }, why)));
  }
  body.replaceChildren(...rows);
  $('record-count').textContent = state.records.length + ' records' + (filter ? ', ' + shown + ' shown' : '');
}
$('record-filter').addEventListener('input', renderRecords);

// ------------------------------------------------------------------ commands

// Each control: the group, the catalogue name it sends, its label, and how
// it takes its arguments: words (one button each), a value field, or none.
const CONTROLS = [
  ['Motor', 'set-speed', 'Speed', { value: '5.0 or soft', words: ['soft'] }],
  ['Motor', 'set-motor-mode', 'Mode', { words: ['normal', 'turbo', 'dough', 'macro'] }],
  ['Motor', 'set-direction', 'Direction', { words: ['regular', 'reverse'] }],
  ['Motor', 'set-timer', 'Timer', { value: 'seconds' }],
  ['Heating', 'set-heating', 'Heating', { words: ['on', 'off'] }],
  ['Heating', 'set-temp', 'Temperature', { value: 'target' }],
  ['Heating', 'heat-ctrl', 'Remote control', { words: ['on', 'off'] }],
  ['Locks and power', 'lock-lid', 'Lid lock', { words: ['close', 'open'] }],
  ['Locks and power', 'relays', 'Relays', { words: ['close', 'open'] }],
  ['Locks and power', 'set-transport', 'Transport lock', { words: ['on', 'off'] }],
  ['Locks and power', 'transport-time', 'Transport time', { value: 'ms' }],
  ['Light', 'ambi-light', 'Ambient light', { value: 'green red (%)', split: true }],
  ['Test mode', 'mctest', 'Test command', { select: true }],
  ['Errors', 'recover-error', 'Error pop-up', { button: 'Acknowledge' }],
  ['Errors', 'fa-ok', 'Permanent errors', { words: ['status', '72', '150'] }],
  ['Errors', 'reset-mc', 'Machine control', { button: 'Reset', confirm: 'Reset machine control?' }],
  ['Errors', 'enable-bb', 'Black box', { words: ['on', 'off'] }],
  ['Clock', 'set-clock', 'Appliance clock', { button: 'Set to this computer\'s time', args: ['now'] }],
  ['Power', 'power-down', 'Power down', { value: 'delay ms', button: 'Power down', danger: true, confirm: 'Power the machine down?' }],
  ['Power', 'shutdown', 'Shut down', { button: 'Shut the software down', danger: true, confirm: 'Shut the appliance software down? The daemon ends after this session.' }],
];

const controlNodes = [];

function renderControls() {
  const list = $('control-list');
  list.replaceChildren();
  const aliases = {};
  for (const a of state.info.aliases || []) aliases[a.alias] = a;
  let group = null, groupNode = null;
  for (const [g, alias, label, how] of CONTROLS) {
    const meta = aliases[alias] || { level: 5, words: [] };
    if (g !== group) {
      group = g;
      groupNode = el('div', { class: 'ctl-group' }, el('div', { class: 'gname' }, g));
      list.append(groupNode);
    }
    const answer = el('span', { class: 'answer', id: 'ans-' + alias });
    const inputs = el('div', { class: 'inputs' });
    const widgets = [];
    const send = async (args) => {
      if (how.confirm && !window.confirm(how.confirm)) return;
      await command(alias, args, answer);
    };
    let field = null;
    if (how.value) {
      field = el('input', { placeholder: how.value, size: 12, id: 'in-' + alias });
      field.addEventListener('keydown', (e) => { if (e.key === 'Enter') sendValue(); });
      widgets.push(field);
      inputs.append(field);
    }
    const sendValue = () => {
      const text = field.value.trim();
      send(text === '' ? [] : how.split ? text.split(/[\s,]+/) : [text]);
    };
    if (how.select) {
      const select = el('select', { id: 'in-' + alias });
      for (const w of meta.words || []) select.append(el('option', { value: w }, w));
      const b = el('button', { type: 'button', onclick: () => send([select.value]) }, 'Send');
      widgets.push(select, b);
      inputs.append(select, b);
    }
    if (how.value && !how.button) {
      const b = el('button', { type: 'button', id: 'btn-' + alias, onclick: sendValue }, 'Set');
      widgets.push(b);
      inputs.append(b);
    }
    for (const w of how.words || []) {
      const b = el('button', { type: 'button', 'data-word': w, onclick: () => send([w]) }, w);
      widgets.push(b);
      inputs.append(b);
    }
    if (how.button) {
      const b = el('button', { type: 'button', id: 'btn-' + alias, class: how.danger ? 'danger' : '',
        onclick: () => (how.value ? sendValue() : send(how.args || [])) }, how.button);
      widgets.push(b);
      inputs.append(b);
    }
    inputs.append(answer);
    const why = el('div', { class: 'why hidden' });
    const node = el('div', { class: 'ctl', id: 'ctl-' + alias, title: meta.summary || '' }, el('span', { class: 'label' }, label), inputs, why);
    groupNode.append(node);
    controlNodes.push({ level: meta.level, widgets, why, node });
  }
}

// Level-gated controls and buttons, with the reason under each.
const gated = [];
function gate(level, ...widgets) { gated.push({ level, widgets }); }

function levelReason(level) {
  if (state.level < 0 || state.level >= level) return '';
  return 'needs level ' + level + '; the ' + (state.info.role || 'given') + ' key grants level ' + state.level;
}

function updateEnabled() {
  const up = state.link === 'up';
  for (const c of controlNodes) {
    const reason = state.info ? levelReason(c.level) : '';
    for (const w of c.widgets) w.disabled = !up || reason !== '';
    c.why.textContent = reason;
    c.why.classList.toggle('hidden', reason === '');
    c.node.classList.toggle('locked', reason !== '');
  }
  for (const g of gated) {
    const reason = state.info ? levelReason(g.level) : '';
    for (const w of g.widgets) {
      w.disabled = !up || reason !== '' || w.dataset.needsFile === 'missing';
      if (reason) w.title = reason;
    }
  }
}

// ------------------------------------------------------------------ transfers

// Sends a form to /api/upload and follows it: first the bytes to the
// console, then the console's own transfer to the appliance (progress
// events). The bar reaches 100 % when the appliance has every byte.
function upload(kind, params, form, bar, barText, answer, what) {
  const id = kind + '-' + Date.now() + '-' + Math.floor(Math.random() * 1e6);
  const query = new URLSearchParams(Object.assign({ kind, id }, params));
  bar.className = 'bar';
  bar.style.width = '0%';
  bar.dataset.percent = '0';
  busy(answer);
  state.transfers[id] = (done, total) => {
    const percent = total ? Math.floor(done * 100 / total) : 100;
    bar.style.width = percent + '%';
    bar.dataset.percent = String(percent);
    if (barText) barText.textContent = 'to the appliance: ' + percent + ' % (' + done + ' of ' + total + ' bytes)';
  };
  return new Promise((resolve) => {
    const xhr = new XMLHttpRequest();
    xhr.open('POST', '/api/upload?' + query.toString());
    xhr.setRequestHeader('X-Console-Token', TOKEN);
    xhr.timeout = 15 * 60 * 1000;
    xhr.upload.onprogress = (e) => {
      if (barText && e.lengthComputable) barText.textContent = 'to the console: ' + Math.floor(e.loaded * 100 / e.total) + ' %';
    };
    const finish = (result) => {
      delete state.transfers[id];
      if (result.ok) {
        bar.style.width = '100%';
        bar.dataset.percent = '100';
        bar.className = 'bar done';
        if (barText) barText.textContent = '100 % — ' + (result.text || 'ACK');
      } else {
        bar.className = 'bar failed';
        if (barText) barText.textContent = 'failed';
      }
      showAnswer(answer, result, what);
      resolve(result);
    };
    xhr.onload = () => {
      let result;
      try { result = JSON.parse(xhr.responseText); } catch (e) { result = { ok: false, text: xhr.responseText.trim() || 'HTTP ' + xhr.status }; }
      finish(result);
    };
    xhr.onerror = () => finish({ ok: false, text: 'the console does not answer' });
    xhr.ontimeout = () => finish({ ok: false, text: 'no answer from the console in time' });
    xhr.send(form);
  });
}

// ------------------------------------------------------------------ logs

function renderLogs() {
  const body = $('log-table').tBodies[0];
  body.replaceChildren();
  const level = (state.info.levels || {}).SVC_GET_BB || 1;
  for (const log of state.info.logs) {
    const copy = log.rotated ? el('input', { type: 'number', min: 0, max: 999, value: 0, size: 3, class: 'copy', title: '0 is the log itself, N its rotated copy N' }) : el('span', { class: 'muted' }, '–');
    const answer = el('span', { class: 'answer', id: 'ans-log-' + log.name });
    const get = el('button', { type: 'button', id: 'get-' + log.name }, 'Download');
    get.addEventListener('click', async () => {
      busy(answer);
      const n = log.rotated ? Number(copy.value) || 0 : 0;
      const id = 'get-' + Date.now() + '-' + Math.floor(Math.random() * 1e6);
      const query = new URLSearchParams({ name: log.name, token: TOKEN, id });
      if (n) query.set('rotated', n);
      // The console's transfer from the appliance, as it goes.
      state.transfers[id] = (done, total) => {
        answer.textContent = (total ? Math.floor(done * 100 / total) : 100) + ' % of ' + total + ' bytes';
      };
      const abort = new AbortController();
      const timer = setTimeout(() => abort.abort(), 10 * 60 * 1000);
      try {
        const res = await fetch('/api/log?' + query.toString(), { headers: { 'X-Console-Token': TOKEN }, signal: abort.signal });
        if (!res.ok) {
          const j = await res.json().catch(() => ({ text: 'HTTP ' + res.status }));
          showAnswer(answer, { ok: false, text: j.text }, log.file);
          return;
        }
        const blob = await res.blob();
        const url = URL.createObjectURL(blob);
        const a = el('a', { href: url, download: log.file + (n ? '.' + n : '') });
        document.body.append(a);
        a.click();
        a.remove();
        setTimeout(() => URL.revokeObjectURL(url), 10000);
        showAnswer(answer, { ok: true, text: blob.size + ' bytes' });
      } catch (e) {
        showAnswer(answer, { ok: false, text: e.name === 'AbortError' ? 'no answer from the console in time' : 'the console does not answer' }, log.file);
      } finally {
        clearTimeout(timer);
        delete state.transfers[id];
      }
    });
    const file = el('input', { type: 'file', id: 'file-' + log.name });
    const put = el('button', { type: 'button', id: 'put-' + log.name, 'data-needs-file': 'missing' }, 'Upload');
    file.addEventListener('change', () => { put.dataset.needsFile = file.files.length ? 'ok' : 'missing'; updateEnabled(); });
    put.addEventListener('click', () => {
      if (!file.files.length) return;
      const form = new FormData();
      form.append('file', file.files[0]);
      const params = { name: log.name };
      if (log.rotated) params.index = String(Number(copy.value) || 0);
      upload('log', params, form, $('log-progress'), $('log-progress-text'), answer, 'upload ' + log.file);
    });
    gate(level, get, put);
    body.append(el('tr', { 'data-log': log.name }, el('td', {}, el('b', {}, log.name), el('div', { class: 'muted small' }, log.file)),
      el('td', {}, copy), el('td', {}, get), el('td', {}, el('div', { class: 'row' }, file, put)), el('td', {}, answer)));
  }
}

// ------------------------------------------------------------------ scale

let calChart = null;
async function readCaldata() {
  busy($('ans-cal'));
  const result = await api('POST', '/api/command', { alias: 'get-caldata', args: [] });
  // An empty table is no trouble worth a banner.
  if (result.text === 'NAK: no caldata found') {
    $('ans-cal').className = 'answer';
    $('ans-cal').textContent = 'no calibration stored';
  } else {
    showAnswer($('ans-cal'), result, 'calibration table');
  }
  // The table and the plot say it better than the raw answer.
  if (result.ok) $('ans-cal').textContent = result.text.split(';').filter((x) => x).length + ' points';
  const body = $('cal-table').tBodies[0];
  body.replaceChildren();
  const points = [];
  if (result.ok) {
    for (const pair of result.text.split(';')) {
      const [g, ad] = pair.split(',').map(Number);
      if (Number.isFinite(g) && Number.isFinite(ad)) points.push([ad, g]);
    }
  }
  points.sort((a, b) => a[0] - b[0]);
  for (const [ad, g] of points) body.append(el('tr', {}, el('td', {}, String(g)), el('td', {}, String(ad))));
  if (!points.length) body.append(el('tr', {}, el('td', { colspan: 2, class: 'muted' }, 'no points')));
  const data = points.length ? points : [[0, null]];
  if (!calChart) {
    calChart = new Dygraph($('chart-cal'), data, { labels: ['AD', 'grams'], drawPoints: true, pointSize: 4, strokeWidth: 1.5,
      colors: ['#1f6fb2'], xlabel: 'AD value', ylabel: 'grams', legend: 'follow', axisLabelFontSize: 11 });
  } else {
    calChart.updateOptions({ file: data });
  }
}

function initScale() {
  const level = (state.info.levels || {}).MCH_GET_TARA || 1;
  $('tare-get').addEventListener('click', () => command('get-tara', [], $('tare-value')));
  $('tare-set').addEventListener('click', () => command('set-tara', [$('tare-input').value.trim()].filter((x) => x), $('ans-tare')));
  $('tare-reset').addEventListener('click', () => command('set-tara', [], $('ans-tare')));
  $('cal-add').addEventListener('click', async () => {
    const args = [$('cal-grams').value.trim(), $('cal-ad').value.trim()].filter((x) => x);
    // A refused point leaves the table; the first point is stored with a NAK.
    await command('set-caldata', args, $('ans-cal'));
    readCaldata();
  });
  $('cal-clear').addEventListener('click', async () => {
    const r = await command('set-caldata', ['clear'], $('ans-cal'));
    if (r.ok) readCaldata();
  });
  $('cal-read').addEventListener('click', readCaldata);
  gate(level, $('tare-get'), $('tare-set'), $('tare-reset'), $('cal-add'), $('cal-clear'), $('cal-read'), $('tare-input'), $('cal-grams'), $('cal-ad'));
}

// ------------------------------------------------------------------ display, sound, package, repair

async function previewPng(file) {
  const form = new FormData();
  form.append('file', file);
  const note = $('frame-note');
  note.textContent = 'converting…';
  try {
    const res = await fetch('/api/preview', { method: 'POST', headers: { 'X-Console-Token': TOKEN }, body: form });
    if (!res.ok) {
      note.textContent = (await res.text()).trim();
      note.className = 'answer nak';
      $('png-send').dataset.needsFile = 'missing';
      updateEnabled();
      return;
    }
    // The frame as the appliance gets it: blue, green, red, unused.
    const frame = new Uint8Array(await res.arrayBuffer());
    const canvas = $('frame');
    const ctx = canvas.getContext('2d');
    const image = ctx.createImageData(480, 272);
    for (let i = 0; i < 480 * 272; i++) {
      image.data[i * 4] = frame[i * 4 + 2];
      image.data[i * 4 + 1] = frame[i * 4 + 1];
      image.data[i * 4 + 2] = frame[i * 4];
      image.data[i * 4 + 3] = 255;
    }
    ctx.putImageData(image, 0, 0);
    note.className = 'muted small';
    note.textContent = file.name + ' as the display will show it (480×272).';
    $('png-send').dataset.needsFile = 'ok';
    updateEnabled();
  } catch (e) {
    note.textContent = 'the console does not answer';
  }
}

function initMedia() {
  const levels = state.info.levels || {};
  $('png-file').addEventListener('change', () => { if ($('png-file').files.length) previewPng($('png-file').files[0]); });
  $('png-send').dataset.needsFile = 'missing';
  $('png-send').addEventListener('click', () => {
    const form = new FormData();
    form.append('file', $('png-file').files[0]);
    upload('display', {}, form, $('display-progress'), null, $('ans-display'), 'display');
  });
  $('wav-send').dataset.needsFile = 'missing';
  $('wav-file').addEventListener('change', () => { $('wav-send').dataset.needsFile = $('wav-file').files.length ? 'ok' : 'missing'; updateEnabled(); });
  $('wav-send').addEventListener('click', () => {
    const form = new FormData();
    form.append('file', $('wav-file').files[0]);
    upload('sound', {}, form, $('display-progress'), null, $('ans-sound'), 'sound');
  });
  $('pkg-send').addEventListener('click', () => {
    if (!$('pkg-file').files.length || !$('pkg-sig').files.length) {
      showAnswer($('ans-package'), { ok: false, text: 'choose the package and its signature' });
      return;
    }
    const form = new FormData();
    form.append('file', $('pkg-file').files[0]);
    form.append('sig', $('pkg-sig').files[0]);
    upload('package', {}, form, $('pkg-progress'), $('pkg-progress-text'), $('ans-package'), 'data package');
  });
  $('repair-start').addEventListener('click', () => command('repair-start', $('repair-text').value.trim().split(/\s+/).filter((x) => x), $('ans-repair')));
  $('repair-end').addEventListener('click', () => command('repair-end', $('repair-text').value.trim().split(/\s+/).filter((x) => x), $('ans-repair')));
  gate(levels.MCH_SET_SPEED || 5, $('all-off'));
  gate(levels.MCH_DISPLAY_IMG || 5, $('png-file'), $('png-send'));
  gate(levels.MCH_PLAY_SND || 5, $('wav-file'), $('wav-send'));
  gate(levels.MCH_INSTALL_DATA || 5, $('pkg-file'), $('pkg-sig'), $('pkg-send'));
  gate(levels.SVC_SET_REPASTART || 1, $('repair-start'), $('repair-end'), $('repair-text'));
}

// ------------------------------------------------------------------ the event stream

function connectEvents() {
  const source = new EventSource('/api/events?token=' + encodeURIComponent(TOKEN));
  source.addEventListener('status', (e) => renderStatus(JSON.parse(e.data)));
  source.addEventListener('panel', (e) => renderPanel(JSON.parse(e.data)));
  source.addEventListener('sample', (e) => { addSample(JSON.parse(e.data)); redrawCharts(); });
  source.addEventListener('records', (e) => addRecords(JSON.parse(e.data)));
  source.addEventListener('progress', (e) => {
    const p = JSON.parse(e.data);
    if (state.transfers[p.id]) state.transfers[p.id](p.done, p.total);
  });
  source.onopen = () => { if (state.link === 'console') renderStatus({ link: 'connecting', message: '' }); };
  // The browser retries by itself; until it succeeds the page says so.
  source.onerror = () => renderStatus({ link: 'console', message: '' });
}

async function start() {
  const info = await api('GET', '/api/info');
  if (!info.host) {
    renderStatus({ link: 'console', message: info.text || '' });
    return;
  }
  state.info = info;
  state.level = info.level;
  $('address').textContent = info.host + ':' + info.port;
  const role = info.role || 'unknown role';
  $('role').textContent = role + (info.level >= 0 ? ' · level ' + info.level : ' · level ?');
  $('role').classList.toggle('full', info.level >= 5);
  renderControls();
  renderRecords();
  renderLogs();
  initScale();
  initMedia();
  initCharts();
  const history = await api('GET', '/api/history');
  if (Array.isArray(history)) for (const s of history) addSample(s);
  // A fresh console's charts start a minute wide rather than a few
  // milliseconds: an empty stretch before the first point.
  const first = series.motor.length ? series.motor[0][0].getTime() : Date.now();
  const minuteAgo = new Date(Math.min(first, Date.now() - 60000));
  series.motor.unshift([minuteAgo, null, null]);
  series.temps.unshift([minuteAgo, null, null, null]);
  series.weight.unshift([minuteAgo, null]);
  redrawCharts();
  renderStatus(info);
  connectEvents();
}

start();
