'use strict';
// The page of camctl serve: live pictures, state, controls, registers and the
// device catalogue, all through the server's JSON interface on the same origin.
const $ = (sel) => document.querySelector(sel);
let cam = 0;        // the camera the controls and registers act on
let shown = '';     // the cameras the views were built for
let recording = false;  // the server records (--record-dir)

async function api(path, body) {
  const opts = body === undefined ? {} : {
    method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)};
  const r = await fetch(path, opts);
  let j = null;
  try { j = await r.json(); } catch (e) { /* an error page without JSON */ }
  if (!r.ok) throw new Error((j && j.error) || r.status + ' ' + r.statusText);
  return j;
}

function el(tag, props, ...kids) {
  const e = document.createElement(tag);
  Object.assign(e, props || {});
  for (const k of kids) e.append(k);
  return e;
}

// Register numbers are typed in hex, with or without 0x; the server wants the prefix.
function hex(s) {
  s = s.trim();
  if (!/^(0x)?[0-9a-f]+$/i.test(s)) throw new Error("'" + s + "' is not a hex number");
  return /^0x/i.test(s) ? s : '0x' + s;
}

function buildViews(cams) {
  const box = $('#views');
  box.replaceChildren();
  for (const c of cams) {
    box.append(el('div', {className: 'view', id: 'view' + c.cam},
      el('img', {src: '/stream?cam=' + c.cam, alt: 'camera ' + c.cam}),
      el('div', {className: 'info'})));
  }
  const sel = $('#cam');
  sel.replaceChildren(...cams.map((c) => el('option', {value: c.cam,
    textContent: c.cam + ': ' + (c.card || c.device)})));
  $('#chooser').hidden = cams.length < 2;
  if (!cams.some((c) => c.cam === cam) && cams.length) cam = cams[0].cam;
  sel.value = cam;
}

async function pollState() {
  try {
    const s = await api('/api/state');
    $('#version').textContent = 'camctl ' + s.version;
    const key = s.cameras.map((c) => c.cam + c.device).join();
    if (key !== shown) { shown = key; buildViews(s.cameras); loadControls(); }
    for (const c of s.cameras) {
      const info = document.querySelector('#view' + c.cam + ' .info');
      if (!info) continue;
      const fps = typeof c.measured_fps === 'number' ? c.measured_fps.toFixed(1) : '?';
      info.replaceChildren(
        el('b', {textContent: c.device + ' '}),
        c.format + ' ' + c.width + 'x' + c.height + ' at ' + c.fps + ' fps, measured ' + fps +
          ' fps, ' + c.frames + ' frames, ' + c.damaged + ' damaged, ' + c.clients + ' clients ');
      if (!c.signal) info.append(el('span', {className: 'nosignal', textContent: 'no signal'}));
      if (recording && c.recording) info.append(recordButton(c.cam, c.recording));
    }
    if (recording) loadRecordings();
  } catch (e) {
    $('#version').textContent = 'server not answering: ' + e.message;
  }
}

function recordButton(n, r) {
  const b = el('button', {className: 'record' + (r.active ? ' on' : ''),
    textContent: r.active ? 'Stop recording' : 'Record'});
  b.onclick = async () => {
    $('#record-error').textContent = '';
    try {
      await api('/api/record', {cam: n, action: r.active ? 'stop' : 'start'});
    } catch (e) {
      $('#record-error').textContent = e.message;
    }
    pollState();
  };
  if (r.error) $('#record-error').textContent = 'camera ' + n + ': ' + r.error;
  return b;
}

// Also tells whether the server records at all: without --record-dir it refuses.
async function loadRecordings() {
  try {
    const j = await api('/api/recordings');
    recording = true;
    $('#recordings').replaceChildren(...j.recordings.map((f) => el('li', {},
      f.recording ? f.name + ' (recording)'
        : el('a', {href: '/recordings/' + encodeURIComponent(f.name), textContent: f.name,
          download: f.name}),
      ' ' + (f.size / 1048576).toFixed(1) + ' MiB' +
        (typeof f.duration === 'number' ? ', ' + f.duration.toFixed(1) + ' s' : '') +
        (typeof f.frames === 'number' ? ', ' + f.frames + ' frames' : '') +
        (f.complete === false ? ', cut short' : ''))));
  } catch (e) {
    recording = false;
  }
  $('#recordings-panel').hidden = !recording;
}

function controlRow(c) {
  const row = el('div', {className: 'ctrl' + (c.inactive ? ' inactive' : '')});
  row.dataset.name = c.name;
  const off = c.inactive || c.readonly;
  const id = 'ctrl-' + c.name;
  const set = (v) => setControl(c, v);
  row.append(el('label', {htmlFor: id, textContent: c.label || c.name}));
  if (c.type === 'integer') {
    const range = el('input', {type: 'range', id, min: c.min, max: c.max, step: c.step || 1,
      value: c.value, disabled: off});
    const num = el('input', {type: 'number', min: c.min, max: c.max, step: c.step || 1,
      value: c.value, disabled: off});
    num.setAttribute('aria-label', (c.label || c.name) + ' value');
    range.oninput = () => { num.value = range.value; };
    range.onchange = () => set(Number(range.value));
    num.onchange = () => set(Number(num.value));
    row.append(range, num);
  } else if (c.type === 'boolean') {
    const box = el('input', {type: 'checkbox', id, checked: !!c.value, disabled: off});
    box.onchange = () => set(box.checked ? 1 : 0);
    row.append(box, el('span'));
  } else if (c.type === 'menu') {
    const sel = el('select', {id, disabled: off},
      ...(c.menu || []).map((m) => el('option', {value: m.value, textContent: m.label})));
    sel.value = c.value;
    sel.onchange = () => set(Number(sel.value));
    row.append(sel, el('span'));
  } else if (c.type === 'button') {
    const b = el('button', {id, textContent: c.label || c.name, disabled: off});
    b.onclick = () => set(1);
    row.append(b, el('span'));
  } else {
    row.append(el('span', {textContent: String(c.value)}), el('span'));
  }
  return row;
}

async function loadControls() {
  try {
    const j = await api('/api/controls?cam=' + cam);
    $('#controls').replaceChildren(...j.controls.map(controlRow));
  } catch (e) {
    $('#controls').replaceChildren();
    $('#controls-error').textContent = e.message;
  }
}

async function setControl(c, value) {
  $('#controls-error').textContent = '';
  try {
    await api('/api/controls', {cam, id: c.id, value});
  } catch (e) {
    $('#controls-error').textContent = (c.label || c.name) + ': ' + e.message;
  }
  // One control can activate or change another: read them all again.
  const err = $('#controls-error').textContent;
  await loadControls();
  $('#controls-error').textContent = err;
}

function registerForm(id, request, show) {
  const form = $(id);
  form.onsubmit = async (ev) => {
    ev.preventDefault();
    const out = $('#reg-result');
    out.className = '';
    try {
      out.textContent = show(await api(...request(form.elements)));
    } catch (e) {
      out.className = 'error';
      out.textContent = e.message;
    }
  };
}

function bytesOf(s) {
  const b = s.trim().split(/[\s,]+/).filter((t) => t).map(hex);
  if (b.length < 1 || b.length > 8) throw new Error('give 1 to 8 bytes');
  return b;
}

registerForm('#dsp-read', (f) => ['/api/dsp',
  {cam, addr: hex(f.addr.value), read: Number(f.len.value)}],
  (j) => 'DSP ' + j.addr + ': ' + j.data.join(' '));
registerForm('#dsp-write', (f) => ['/api/dsp',
  {cam, addr: hex(f.addr.value), write: bytesOf(f.data.value)}],
  (j) => 'DSP ' + j.addr + ' written: ' + j.data.join(' '));
registerForm('#sensor-read', (f) => ['/api/sensor',
  {cam, addr: hex(f.addr.value), read: true, bits: Number(f.bits.value)}],
  (j) => 'sensor ' + j.addr + ' (' + j.bits + ' bit) = ' + j.value);
registerForm('#sensor-write', (f) => ['/api/sensor',
  {cam, addr: hex(f.addr.value), write: hex(f.value.value), bits: Number(f.bits.value)}],
  (j) => 'sensor ' + j.addr + ' (' + j.bits + ' bit) written: ' + j.value);

function show(v) {
  return v !== null && typeof v === 'object' ? JSON.stringify(v) : String(v);
}

async function loadDevices() {
  try {
    const j = await api('/api/devices');
    $('#devices').replaceChildren(...j.devices.map((d) => el('table', {},
      ...Object.keys(d).map((k) => el('tr', {}, el('th', {textContent: k}),
        el('td', {textContent: show(d[k])}))))));
  } catch (e) {
    $('#devices').replaceChildren(el('p', {className: 'error', textContent: e.message}));
  }
}

$('#cam').onchange = () => { cam = Number($('#cam').value); loadControls(); };
loadRecordings().then(pollState);
setInterval(pollState, 1000);
loadDevices();
