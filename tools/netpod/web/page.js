// The page of `netpod serve`: follows the module's state through the server's event
// stream, draws the voltages of the last minute, and sends the writes with the token
// of the page's URL. Written without libraries so that it works without internet.
'use strict';

const kWindowMs = 60000;
const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';
const byId = (id) => document.getElementById(id);

let state = null;        // the latest snapshot from the server
let toolLost = false;    // the event stream to the server is broken
const plot = { t: [], v: [] };  // sample times (ms) and the sixteen voltages of each
let drawQueued = false;

function colourOf(k) {
  return 'hsl(' + Math.round(k * 360 / 16) + ', 72%, 44%)';
}

function buildLamps() {
  const outputs = byId('outputs');
  const inputs = byId('inputs');
  for (let k = 0; k < 16; ++k) {
    const outCell = document.createElement('div');
    outCell.className = 'lamp-cell';
    const out = document.createElement('button');
    out.type = 'button';
    out.className = 'lamp';
    out.id = 'out' + k;
    out.textContent = String(k);
    out.setAttribute('aria-pressed', 'false');
    out.title = 'output ' + k + ': click to switch';
    out.addEventListener('click', () => switchOutput(k));
    outCell.appendChild(out);
    outputs.appendChild(outCell);

    const inCell = document.createElement('div');
    inCell.className = 'lamp-cell';
    const lamp = document.createElement('div');
    lamp.className = 'lamp';
    lamp.id = 'in' + k;
    lamp.textContent = String(k);
    lamp.setAttribute('role', 'img');
    lamp.setAttribute('aria-label', 'input ' + k + ' off');
    const volts = document.createElement('span');
    volts.className = 'volts';
    volts.id = 'volts' + k;
    volts.textContent = '–';
    volts.style.borderBottomColor = colourOf(k);
    inCell.appendChild(lamp);
    inCell.appendChild(volts);
    inputs.appendChild(inCell);
  }
}

function text(id, value) {
  byId(id).textContent = value === null || value === undefined || value === '' ? '–' : String(value);
}

function connected() {
  return !toolLost && state !== null && state.connection.state === 'connected';
}

function render() {
  if (state === null) return;
  const link = state.connection.state;
  document.body.dataset.link = link;
  document.body.classList.toggle('stale', !connected());
  document.body.classList.toggle('tool-lost', toolLost);

  const m = state.module;
  text('product', m.product || 'Module');
  byId('name').textContent = m.name ? '“' + m.name + '”' : '';
  text('type', m.type);
  text('firmware', m.firmware);
  text('mac', m.mac);
  text('ip', m.ip);
  text('address', m.address);
  text('period', state.periodMs);
  text('link-text', toolLost ? 'no contact with the tool' : link);

  const banner = byId('banner');
  banner.classList.remove('info');
  if (toolLost) {
    banner.textContent = 'This page has no live contact with netpod serve (it stopped, or too many pages ' +
      'are open). It keeps trying; the values shown are the last ones received.';
    banner.hidden = false;
  } else if (link === 'lost') {
    banner.textContent = 'The connection to the module is lost' +
      (state.connection.message ? ': ' + state.connection.message : '') +
      '. The tool is reconnecting; the values shown are the last ones read.';
    banner.hidden = false;
  } else if (link === 'connecting') {
    banner.textContent = 'Connecting to the module at ' + m.address + '…';
    banner.classList.add('info');
    banner.hidden = false;
  } else {
    banner.hidden = true;
  }

  for (let k = 0; k < 16; ++k) {
    const on = state.outputs !== null && state.outputs[k];
    const out = byId('out' + k);
    out.classList.toggle('on', on);
    out.setAttribute('aria-pressed', on ? 'true' : 'false');
    out.disabled = !connected() || !token || out.classList.contains('pending');

    const inOn = state.inputs !== null && state.inputs[k];
    const lamp = byId('in' + k);
    lamp.classList.toggle('on', inOn);
    lamp.setAttribute('aria-label', 'input ' + k + (inOn ? ' on' : ' off'));
    text('volts' + k, state.inputVoltages === null ? null : state.inputVoltages[k].toFixed(2) + ' V');
  }

  text('supply', state.supply === null ? null : state.supply.toFixed(3) + ' V');
  const list = byId('warnings');
  list.replaceChildren();
  if (state.warnings === null || state.warnings.length === 0) {
    const li = document.createElement('li');
    li.className = 'none';
    li.textContent = state.warnings === null ? '–' : 'none';
    list.appendChild(li);
  } else {
    for (const w of state.warnings) {
      const li = document.createElement('li');
      li.textContent = w.name;
      list.appendChild(li);
    }
  }
  text('threshold-now', state.threshold === null ? null : state.threshold.toFixed(3) + ' V');
  text('name-now', m.name === null ? null : '“' + m.name + '”');
  if (state.threshold !== null) byId('threshold').placeholder = state.threshold.toFixed(3);
  if (m.name !== null) byId('name-input').placeholder = m.name;
  for (const b of document.querySelectorAll('button.write')) b.disabled = !connected() || !token;
}

function addSample(t, volts) {
  if (plot.t.length > 0 && t <= plot.t[plot.t.length - 1]) return;
  plot.t.push(t);
  plot.v.push(volts);
  const oldest = t - kWindowMs;
  let drop = 0;
  while (drop < plot.t.length && plot.t[drop] < oldest) ++drop;
  if (drop > 0) {
    plot.t.splice(0, drop);
    plot.v.splice(0, drop);
  }
}

function queueDraw() {
  if (drawQueued) return;
  drawQueued = true;
  requestAnimationFrame(() => {
    drawQueued = false;
    drawPlot();
  });
}

// A scale of round numbers covering [low, high].
function niceScale(low, high) {
  const span = Math.max(high - low, 1);
  const rough = span / 5;
  const power = Math.pow(10, Math.floor(Math.log10(rough)));
  const step = [1, 2, 5, 10].map((f) => f * power).find((s) => s >= rough);
  return { low: Math.floor(low / step) * step, high: Math.ceil(high / step) * step, step };
}

function drawPlot() {
  const canvas = byId('plot');
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
  }
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  canvas.dataset.samples = String(plot.t.length);

  const left = 48, right = 12, top = 10, bottom = 26;
  const w = width - left - right;
  const h = height - top - bottom;
  const end = plot.t.length > 0 ? plot.t[plot.t.length - 1] : 0;
  const start = end - kWindowMs;

  let low = 0, high = 1;
  for (const volts of plot.v) {
    for (const v of volts) {
      if (v < low) low = v;
      if (v > high) high = v;
    }
  }
  const scale = niceScale(low, high);
  const x = (t) => left + ((t - start) / kWindowMs) * w;
  const y = (v) => top + (1 - (v - scale.low) / (scale.high - scale.low)) * h;

  g.font = '11px system-ui, sans-serif';
  g.fillStyle = '#65727f';
  g.strokeStyle = '#e3e8ec';
  g.lineWidth = 1;
  g.textAlign = 'right';
  g.textBaseline = 'middle';
  for (let v = scale.low; v <= scale.high + scale.step / 2; v += scale.step) {
    const py = Math.round(y(v)) + 0.5;
    g.beginPath();
    g.moveTo(left, py);
    g.lineTo(left + w, py);
    g.stroke();
    g.fillText(Number(v.toFixed(3)) + ' V', left - 6, py);
  }
  g.textAlign = 'center';
  g.textBaseline = 'top';
  for (let s = 0; s <= 60; s += 10) {
    const px = Math.round(left + (1 - s / 60) * w) + 0.5;
    g.beginPath();
    g.moveTo(px, top);
    g.lineTo(px, top + h);
    g.stroke();
    g.fillText(s === 0 ? 'now' : '−' + s + ' s', px, top + h + 6);
  }

  if (plot.t.length === 0) {
    g.textBaseline = 'middle';
    g.fillText('waiting for the first voltages…', left + w / 2, top + h / 2);
    return;
  }
  g.save();
  g.beginPath();
  g.rect(left, top, w, h);
  g.clip();
  g.lineWidth = 1.5;
  for (let k = 0; k < 16; ++k) {
    g.strokeStyle = colourOf(k);
    g.beginPath();
    for (let i = 0; i < plot.t.length; ++i) {
      const px = x(plot.t[i]);
      const py = y(plot.v[i][k]);
      if (i === 0) g.moveTo(px, py);
      else g.lineTo(px, py);
    }
    g.stroke();
  }
  g.restore();
}

function showMessage(message, kind) {
  const box = byId('message');
  box.textContent = message;
  box.className = 'message ' + kind;
  delete box.dataset.contact;
}

// Sends one write. The page shows the new value only from the state read back.
async function write(path, body, what) {
  try {
    const reply = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-Netpod-Token': token },
      body: JSON.stringify(body),
    });
    const answer = await reply.json().catch(() => ({}));
    if (!reply.ok) {
      showMessage(what + ' failed: ' + (answer.error || 'HTTP ' + reply.status), 'error');
      return false;
    }
    if (answer.state && (state === null || answer.state.sequence >= state.sequence)) {
      state = answer.state;
      render();
    }
    showMessage(what + ': done', 'done');
    return true;
  } catch (e) {
    showMessage(what + ' failed: no answer from netpod serve (' + e.message + ')', 'error');
    return false;
  }
}

async function switchOutput(k) {
  if (state === null || state.outputs === null) return;
  const button = byId('out' + k);
  const on = !state.outputs[k];
  button.classList.add('pending');
  button.disabled = true;
  await write('/api/outputs', { output: k, on }, 'output ' + k + (on ? ' on' : ' off'));
  button.classList.remove('pending');
  render();
}

function listen() {
  const events = new EventSource('/api/events');
  events.addEventListener('history', (e) => {
    const h = JSON.parse(e.data);
    plot.t = [];
    plot.v = [];
    for (let i = 0; i < h.t.length; ++i) addSample(h.t[i], h.v[i]);
    queueDraw();
  });
  events.onmessage = (e) => {
    state = JSON.parse(e.data);
    if (byId('message').dataset.contact === 'lost') showMessage('', '');
    toolLost = false;
    if (state.inputVoltages !== null && state.sampleTimeMs >= 0) addSample(state.sampleTimeMs, state.inputVoltages);
    render();
    queueDraw();
  };
  events.onerror = () => {
    toolLost = true;
    if (state !== null) {
      render();
    } else {
      showMessage('no contact with netpod serve; retrying', 'error');
      byId('message').dataset.contact = 'lost';
    }
    // The browser retries a broken stream by itself, but gives up on one that was
    // refused (the server turns pages away beyond its limit): try again later.
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, 3000);
  };
}

function setup() {
  buildLamps();
  byId('threshold-form').addEventListener('submit', (e) => {
    e.preventDefault();
    write('/api/threshold', { volts: Number(byId('threshold').value) }, 'threshold');
  });
  byId('name-form').addEventListener('submit', (e) => {
    e.preventDefault();
    write('/api/name', { name: byId('name-input').value }, 'name');
  });
  byId('clear-warnings').addEventListener('click', () => write('/api/warnings/clear', {}, 'clearing the warnings'));
  if (!token) {
    showMessage('This page was opened without its token: it shows the module but cannot write to it. ' +
      'Open the URL that netpod serve printed.', 'error');
  }
  window.addEventListener('resize', queueDraw);
  queueDraw();
  listen();
}

setup();
