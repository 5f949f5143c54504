// The console page as served by web_console: static text, no build step.
// Log lines come from the process being simulated and are untrusted: the
// script puts them into the page as text nodes only, never as markup.
#include "web_console.h"

namespace lattice_sim {

const char* ConsolePageHtml() {
    return R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>lattice-sim console</title>
<link rel="stylesheet" href="/console.css">
<script src="/console.js" defer></script>
</head>
<body>
<header>
  <h1>lattice-sim console</h1>
  <span id="console">no console yet</span>
  <span id="state" data-state="connecting">connecting</span>
  <span class="legend"><span class="swatch history"></span> history replayed to this console
    <span class="swatch live"></span> live</span>
  <label><input type="checkbox" id="follow" checked> follow</label>
</header>
<main>
  <table id="lines">
    <thead><tr><th>time (s)</th><th>level</th><th>log</th><th>text</th></tr></thead>
    <tbody></tbody>
  </table>
</main>
</body>
</html>
)html";
}

const char* ConsolePageScript() {
    return R"js('use strict';
// One page is one web console: the stream's hello names its id, then every
// line the runtime shows in it follows, history (addressed to this console)
// and live lines (addressed to every console) in the order they came.
const levelNames = ['Fatal', 'Error', 'Warning', 'Info', 'Detail'];
const maxRows = 5000;
const rows = document.querySelector('#lines tbody');
const consoleLabel = document.getElementById('console');
const stateLabel = document.getElementById('state');
const follow = document.getElementById('follow');

function setState(state, text) {
  stateLabel.dataset.state = state;
  stateLabel.textContent = text;
}

function addCell(row, className, text) {
  const cell = row.insertCell();
  cell.className = className;
  cell.textContent = text;
  return cell;
}

function append(row) {
  while (rows.rows.length >= maxRows) {
    rows.deleteRow(0);
  }
  rows.appendChild(row);
  if (follow.checked) {
    row.scrollIntoView({block: 'end'});
  }
}

function showLine(line) {
  const row = document.createElement('tr');
  row.className = line.handle === 0 ? 'live' : 'history';
  row.dataset.level = String(line.level);
  addCell(row, 'time', (line.time_ms / 1000).toFixed(3));
  addCell(row, 'level', levelNames[line.level] ?? 'level ' + line.level);
  addCell(row, 'log', line.log);
  addCell(row, 'text', line.text.replace(/\n$/, ''));
  append(row);
}

function showNote(text) {
  const row = document.createElement('tr');
  row.className = 'note';
  addCell(row, 'text', text).colSpan = 4;
  append(row);
}

const source = new EventSource('/events');
source.addEventListener('hello', (event) => {
  const id = JSON.parse(event.data).console;
  consoleLabel.textContent = 'console ' + id;
  consoleLabel.dataset.console = String(id);
  setState('open', 'open');
});
source.addEventListener('line', (event) => showLine(JSON.parse(event.data)));
source.addEventListener('dropped', (event) => {
  showNote(JSON.parse(event.data).count + ' lines were dropped: this page fell behind');
});
// A new connection would be a new console with the history again: stay
// closed and let the user open a new one.
source.onerror = () => {
  source.close();
  setState('closed', 'closed: reload the page to open a new console');
};
)js";
}

const char* ConsolePageStyle() {
    return R"css(body { margin: 0; font: 14px/1.4 sans-serif; background: #fafafa; color: #222; }
header { position: sticky; top: 0; display: flex; gap: 1.2em; align-items: baseline;
         padding: 0.5em 1em; background: #263238; color: #eceff1; }
h1 { margin: 0; font-size: 1.1em; }
#state[data-state="open"] { color: #a5d6a7; }
#state[data-state="closed"] { color: #ef9a9a; }
.legend { margin-left: auto; font-size: 0.85em; }
.swatch { display: inline-block; width: 0.8em; height: 0.8em; margin-left: 0.8em;
          border: 1px solid #90a4ae; vertical-align: middle; }
.swatch.history { background: #eceff1; }
.swatch.live { background: #fff; }
main { padding: 0.5em 1em; }
table { width: 100%; border-collapse: collapse; font-family: monospace; font-size: 13px; }
th { text-align: left; color: #607d8b; font-weight: normal; border-bottom: 1px solid #cfd8dc; }
th, td { padding: 1px 0.8em 1px 0; vertical-align: top; }
td.time { text-align: right; color: #607d8b; white-space: nowrap; }
td.level, td.log { white-space: nowrap; }
td.text { white-space: pre-wrap; word-break: break-all; width: 100%; }
tr.history { background: #eceff1; }
tr.live { background: #fff; }
tr[data-level="0"] td.level, tr[data-level="1"] td.level { color: #c62828; font-weight: bold; }
tr[data-level="2"] td.level { color: #ef6c00; }
tr[data-level="4"] td.level { color: #90a4ae; }
tr.note td { color: #c62828; font-style: italic; }
)css";
}

}  // namespace lattice_sim
