#include "web/WebPage.h"

namespace px {

const char* const kPageHtml = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Portex Server II - monitor</title>
<link rel="stylesheet" href="/app.css"></head>
<body>
<form id="signout" class="signout" method="post" action="/logout" hidden><button type="submit">Sign out</button></form>
<div id="conn" class="conn" hidden>Connection to the server lost; retrying...</div>
<section class="win" id="comm">
  <div class="title" id="commCaption">Communication Monitor</div>
  <div class="client" id="commClient">
    <div id="busArea" class="area"></div>
    <div id="ipPanel" class="ippanel" hidden></div>
    <textarea id="memo" class="memo" readonly></textarea>
    <div class="buttons">
      <button id="scan" type="button">On/Off Scanning</button>
      <button id="clear" type="button">Clear Display</button>
      <span id="scanState" class="scanstate"></span>
    </div>
  </div>
  <div class="statusbar" id="status"></div>
</section>
<section class="win" id="trans">
  <div class="title">Transactions</div>
  <div class="gridwrap" id="gridWrap">
    <table id="grid" class="grid"><colgroup id="gridCols"></colgroup>
      <thead id="gridHead"></thead><tbody id="gridBody"></tbody></table>
  </div>
</section>
<section class="win" id="tpl" hidden>
  <div class="title">Download Template</div>
  <textarea id="tplMemo" class="memo tplmemo" readonly></textarea>
</section>
<script src="/app.js"></script>
</body></html>
)HTML";

const char* const kPageCss = R"CSS([hidden] { display: none !important; }
body { font: 12px Tahoma, Verdana, sans-serif; background: #3a6ea5; margin: 16px; }
.win { background: #f0f0f0; border: 1px solid #404040; box-shadow: 2px 2px 6px #0006; margin: 0 0 16px 0;
       display: inline-block; vertical-align: top; margin-right: 16px; }
.title { background: linear-gradient(#0a246a, #3a6ea5); color: #fff; font-weight: bold; padding: 4px 8px; }
.client { position: relative; width: 520px; height: 336px; }
.area { position: absolute; left: 0; top: 0; width: 520px; height: 112px; }
.ippanel { position: absolute; left: 496px; top: 0; width: 490px; height: 300px; }
.box { position: absolute; height: 16px; font: 11px Tahoma, sans-serif; border: 1px solid #7a7a7a;
       background: #fff; padding: 0 2px; box-sizing: border-box; }
.led { position: absolute; border-radius: 50%; border: 1px solid #000; box-sizing: border-box; }
.memo { position: absolute; left: 16px; top: 120px; width: 488px; height: 170px; resize: none;
        font: 12px monospace; box-sizing: border-box; }
.buttons { position: absolute; left: 16px; top: 300px; }
button { font: 12px Tahoma, sans-serif; padding: 3px 10px; margin-right: 8px; }
.scanstate { color: #a00; font-weight: bold; }
.statusbar { display: flex; border-top: 1px solid #a0a0a0; height: 20px; overflow: hidden; }
.panel { border: 1px inset #d0d0d0; padding: 2px 4px; white-space: pre; overflow: hidden; flex: none;
         box-sizing: border-box; }
/* The panels are wider together than the narrow window: the fourth gives
   way so that the clock in the fifth stays in sight. */
.panel:nth-child(4) { flex: 0 1 auto; min-width: 0; }
.gridwrap { height: 432px; overflow: auto; background: #fff; width: 860px; }
.grid { border-collapse: separate; border-spacing: 0; table-layout: fixed; font: 11px Tahoma, sans-serif; }
.grid td, .grid th { height: 18px; padding: 0; white-space: pre; overflow: hidden; text-align: left;
                     font-weight: normal; border-right: 1px solid #d0d0d0; border-bottom: 1px solid #d0d0d0; }
.grid th { position: sticky; top: 0; background: #f0f0f0; color: #000; }
.icon { display: inline-block; width: 16px; height: 16px; margin-left: 2px; vertical-align: middle;
        background: #d00; color: #fff; border-radius: 3px; font: bold 12px sans-serif; text-align: center; }
.tplmemo { position: static; display: block; width: 420px; height: 200px; margin: 8px; }
.conn { background: #b00; color: #fff; padding: 6px 10px; margin-bottom: 12px; }
.login { background: #f0f0f0; padding: 16px; width: 320px; border: 1px solid #404040; }
.signout { margin: 0 0 12px 0; }
.login input { width: 100%; box-sizing: border-box; margin: 8px 0; }
)CSS";

const char* const kPageJs = R"JS('use strict';
// Draws the two windows from /api/state, refreshed every 700 ms. Every text
// from the server goes in through textContent, never as markup.
const $ = (id) => document.getElementById(id);
const rows = { bus: [], ip: [] };
let gridKey = '';

function make(tag, cls, parent) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (parent) parent.appendChild(e);
  return e;
}

function place(e, left, top, width, height) {
  e.style.left = left + 'px';
  e.style.top = top + 'px';
  if (width !== undefined) e.style.width = width + 'px';
  if (height !== undefined) e.style.height = height + 'px';
}

function drawRows(kind, container, data) {
  const have = rows[kind];
  data.forEach((row, i) => {
    let r = have[i];
    if (!r) {
      const box = make('div', 'box', container);
      const leds = row.leds.map(() => make('div', 'led', container));
      r = have[i] = { box, leds };
    }
    place(r.box, row.boxLeft, row.boxTop, row.boxWidth);
    r.box.textContent = row.box;
    row.leds.forEach((led, j) => {
      const e = r.leds[j];
      place(e, led.left, led.top, led.size, led.size);
      e.style.background = led.colour;
      e.dataset.colour = led.colour;
      e.title = led.hint;
    });
  });
}

function setMemo(area, lines) {
  const text = lines.join('\n');
  if (area.value === text) return;
  const atEnd = area.scrollTop + area.clientHeight >= area.scrollHeight - 4;
  area.value = text;
  if (atEnd) area.scrollTop = area.scrollHeight;
}

function drawMonitor(m) {
  if (!m) return;
  $('commCaption').textContent = m.caption;
  const client = $('commClient');
  client.style.width = (m.width) + 'px';
  drawRows('bus', $('busArea'), m.busRows);
  $('ipPanel').hidden = !m.ipVisible;
  drawRows('ip', $('ipPanel'), m.ipRows);
  setMemo($('memo'), m.memo);
  $('scan').textContent = m.scanButton;
  $('clear').textContent = m.clearButton;
  $('scanState').textContent = m.scanningStopped ? 'Scanning stopped' : '';
  const bar = $('status');
  bar.style.width = m.width + 'px';
  m.panels.forEach((p, i) => {
    const e = bar.children[i] || make('div', 'panel', bar);
    e.style.width = p.width + 'px';
    e.textContent = p.text;
  });
}

function cellRow(tag, row, parent) {
  const tr = make('tr', '', parent);
  tr.style.color = row.fg;
  tr.style.background = row.bg;
  if (row.hidden) tr.hidden = true;
  row.cells.forEach((text, c) => {
    const td = make(tag, '', tr);
    if (c === 0 && row.icon) {
      const icon = make('span', 'icon', td);
      icon.textContent = '!';
      icon.title = row.icon;
    }
    td.appendChild(document.createTextNode(text));
  });
  return tr;
}

function drawGrid(g) {
  if (!g) return;
  const key = JSON.stringify(g);
  if (key === gridKey) return;
  const first = gridKey === '';
  gridKey = key;
  const wrap = $('gridWrap');
  wrap.style.width = g.width + 'px';
  const atEnd = wrap.scrollTop + wrap.clientHeight >= wrap.scrollHeight - g.rowHeight;
  const cols = $('gridCols');
  cols.replaceChildren(...g.widths.map((w) => { const c = make('col'); c.style.width = w + 'px'; return c; }));
  $('grid').style.width = g.widths.reduce((a, b) => a + b, 0) + 'px';
  $('gridHead').replaceChildren();
  cellRow('th', g.header, $('gridHead'));
  const body = $('gridBody');
  body.replaceChildren();
  g.rows.forEach((row) => cellRow('td', row, body));
  // The newest line stays in view unless the operator scrolled back.
  if (first || atEnd) wrap.scrollTop = wrap.scrollHeight;
}

function drawTemplates(t) {
  $('tpl').hidden = !t;
  if (t) setMemo($('tplMemo'), t.memo);
}

async function refresh() {
  try {
    const r = await fetch('/api/state', { cache: 'no-store', credentials: 'same-origin' });
    if (r.status === 401) { location.href = '/login'; return; }
    if (!r.ok) throw new Error('HTTP ' + r.status);
    const s = await r.json();
    $('signout').hidden = !s.signOut;
    drawMonitor(s.monitor);
    drawGrid(s.grid);
    drawTemplates(s.templates);
    $('conn').hidden = true;
    document.body.dataset.ready = '1';
  } catch (e) {
    $('conn').hidden = false;
  }
  setTimeout(refresh, 700);
}

async function press(path) {
  try {
    const r = await fetch(path, { method: 'POST', credentials: 'same-origin' });
    if (!r.ok) $('conn').hidden = false;
  } catch (e) {
    $('conn').hidden = false;
  }
}

$('scan').addEventListener('click', () => press('/api/scan'));
$('clear').addEventListener('click', () => press('/api/clear'));
refresh();
)JS";

const char* const kLoginHtml = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Portex Server II - sign in</title>
<link rel="stylesheet" href="/app.css"></head>
<body><form class="login" method="post" action="/login">
<div>This monitor needs its access token.</div>
<input type="password" name="token" id="token" autocomplete="current-password" autofocus>
<button type="submit" id="signin">Sign in</button>
</form></body></html>
)HTML";

}  // namespace px
