// Crosspoint grid: inputs across, outputs down. Only the rows and columns in view exist (a
// 1,024 × 1,024 switcher would be a million buttons). The grid is a box of the whole table's
// size in which the drawn rows and cells are placed absolutely, so no change to them lays out
// anything else. A scroll hands the rows or columns that left the view to those that came
// into it: they are moved, renumbered and repainted, never made anew. The names stay pinned
// (sticky) on top and on the left. The grid is one stop in the tab order; arrow keys, Home
// and End move between cells and row names, scrolling the window along.
import { $, setText, setAttr } from './dom.js';
import { model, live, inputLabel, lockText, matches, touched, repaintingAll } from './state.js';
import { pick, select } from './routing.js';

const scroller = $('grid-scroll'), grid = $('grid');
const NEAR = 2;                  // rows and columns drawn beyond the edges of the view
let outs = [], ins = [];         // numbers shown, in display order
let outAt = new Map(), inAt = new Map();   // number -> index in outs / ins
let axes = '';                   // what outs and ins were made from
let pitch = null;                // {x, y, head, side}: a cell's step, the pinned names' size
// The drawn window: rows r0 … r0 + rowCount - 1 and columns k0 … k0 + colCount - 1.
let win = null;
let heads = [];                  // column names in column order: heads[j] is column k0 + j
let lines = [];                  // drawn rows in row order: {el, name, head, cells, o}
let rows = new Map();            // output -> its line
let rove = { o: null, i: null }; // the grid's tab stop (i null: the row's name)
let stop = null;                 // the element that holds it
let hotInput = null;
let gridSize = '';

grid.addEventListener('click', (e) => {
  const c = e.target.closest('button.cell');
  if (c) { pick(Number(c.dataset.output), Number(c.dataset.input)); return; }
  const r = e.target.closest('button.row-head');
  if (r) select(Number(r.dataset.n));
});

grid.addEventListener('focusin', (e) => {
  const c = e.target.closest('button.cell, button.row-head');
  if (!c) return;
  rove = keyOf(c);
  markTabStop();
  hotInput = rove.i;
  markHot();
});

grid.addEventListener('focusout', () => { hotInput = null; markHot(); });

const keyOf = (c) => (c.classList.contains('row-head')
  ? { o: Number(c.dataset.n), i: null } : { o: Number(c.dataset.output), i: Number(c.dataset.input) });

const steps = { ArrowLeft: [0, -1], ArrowRight: [0, 1], ArrowUp: [-1, 0], ArrowDown: [1, 0] };

// Cells of rows locked by another controller, and all of them while offline, are disabled:
// the keys step over them.
const usable = (r, k) => k < 0 || (live() && model.outputs.get(outs[r])?.lock !== 'other');

grid.addEventListener('keydown', (e) => {
  const c = e.target.closest('button.cell, button.row-head');
  if (!c) return;
  const key = keyOf(c);
  let r = outAt.get(key.o), k = key.i == null ? -1 : inAt.get(key.i);
  let dr = 0, dk = 0;
  if (steps[e.key]) [dr, dk] = steps[e.key];
  else if (e.key === 'Home') { k = -2; dk = 1; }
  else if (e.key === 'End') { k = ins.length; dk = -1; }
  else return;
  e.preventDefault();
  for (r += dr, k += dk; r >= 0 && r < outs.length && k >= -1 && k < ins.length; r += dr, k += dk) {
    if (usable(r, k)) { focusAt(r, k); return; }
  }
});

function focusAt(r, k) {
  bringIntoView(r, k);
  redrawWindow();
  elementOf({ o: outs[r], i: k < 0 ? null : ins[k] })?.focus();
}

// Scrolls so that row r and column k (-1: none) are clear of the pinned names.
function bringIntoView(r, k) {
  const p = measure();
  const top = r * p.y, left = k * p.x;
  const height = scroller.clientHeight - p.head, width = scroller.clientWidth - p.side;
  if (top < scroller.scrollTop) scroller.scrollTop = top;
  else if (top + p.y > scroller.scrollTop + height) scroller.scrollTop = top + p.y - height;
  if (k < 0) return;
  if (left < scroller.scrollLeft) scroller.scrollLeft = left;
  else if (left + p.x > scroller.scrollLeft + width) scroller.scrollLeft = left + p.x - width;
}

let scrolled = 0;
scroller.addEventListener('scroll', () => {
  if (!scrolled) scrolled = requestAnimationFrame(redrawWindow);
}, { passive: true });
addEventListener('resize', () => {
  pitch = null;
  win = null;
  if (!scrolled) scrolled = requestAnimationFrame(redrawWindow);
});

function redrawWindow() {
  scrolled = 0;
  if (model.view !== 'grid' || !model.loaded) return;
  if (placeWindow()) paintAll(model);
  markTabStop();
  markHot();
}

export function renderGrid(m) {
  if (m.view !== 'grid') { axes = ''; win = null; return; }
  const all = repaintingAll();
  if (all) setAxes(m);
  if (placeWindow() || all) paintAll(m);
  else for (const line of lines) if (touched(line.o)) paintLine(m, line);
  markTabStop();
  markHot();
}

// The rows and columns the search leaves; an axis it matches nothing on stays whole.
function setAxes(m) {
  const pickAxis = (map) => {
    const all = [...map.keys()];
    const found = all.filter((n) => matches(n, map.get(n).label));
    return found.length ? found : all;
  };
  const o = pickAxis(m.outputs), i = pickAxis(m.inputs);
  const key = `${o}|${i}`;
  if (key === axes) return;
  axes = key;
  outs = o;
  ins = i;
  outAt = new Map(outs.map((n, r) => [n, r]));
  inAt = new Map(ins.map((n, k) => [n, k]));
  setAttr(grid, 'aria-rowcount', outs.length + 1);
  setAttr(grid, 'aria-colcount', ins.length + 1);
  win = null;
  scroller.scrollTop = scroller.scrollLeft = 0;
}

// A cell's step and the pinned names' size, as the style sheet makes them: measured on a
// window of one cell, drawn for the purpose when none is.
function measure() {
  if (pitch) return pitch;
  if (!grid.querySelector('.c')) {
    win = { r0: 0, k0: 0, rowCount: 1, colCount: 1 };
    draw({ x: 0, y: 0, head: 0, side: 0 });
    win = null;
  }
  const c = grid.querySelector('.c').getBoundingClientRect();
  const k = grid.querySelector('.corner').getBoundingClientRect();
  pitch = { x: c.width, y: c.height, head: k.height, side: k.width };
  return pitch;
}

const clamp = (v, lo, hi) => Math.max(lo, Math.min(v, hi));

// Works out which rows and columns the view needs and moves the window there. Answers true
// when it drew the grid afresh (to be painted whole); a moved window paints what it moved.
function placeWindow() {
  if (!scroller.clientWidth || !outs.length || !ins.length) return false;
  const p = measure();
  sizeGrid(p);
  const width = scroller.clientWidth, height = scroller.clientHeight;
  const rowCount = Math.min(outs.length, Math.ceil((height - p.head) / p.y) + 1 + 2 * NEAR);
  const colCount = Math.min(ins.length, Math.ceil((width - p.side) / p.x) + 1 + 2 * NEAR);
  const r0 = clamp(Math.floor(scroller.scrollTop / p.y) - NEAR, 0, outs.length - rowCount);
  const k0 = clamp(Math.floor(scroller.scrollLeft / p.x) - NEAR, 0, ins.length - colCount);
  if (win && win.rowCount === rowCount && win.colCount === colCount) {
    if (k0 !== win.k0) shiftColumns(k0, p);
    if (r0 !== win.r0) shiftRows(r0, p);
    return false;
  }
  win = { r0, k0, rowCount, colCount };
  draw(p);
  return true;
}

// The grid is as big as the whole table, whatever is drawn of it: the scroll range.
function sizeGrid(p) {
  const size = `${p.side + ins.length * p.x}|${p.head + outs.length * p.y}`;
  if (size === gridSize) return;
  gridSize = size;
  grid.style.width = `${p.side + ins.length * p.x}px`;
  grid.style.height = `${p.head + outs.length * p.y}px`;
}

const parser = document.createElement('template');
const range = (a, b) => Array.from({ length: Math.max(0, b - a) }, (_, j) => a + j);
const cellMarkup = '<div class="c" role="gridcell"><button type="button" class="cell" tabindex="-1" ' +
  'aria-pressed="false"></button></div>';

// Makes the window's elements, empty, then numbers and places them. Positions are set
// through the CSSOM: the page's content security policy refuses style attributes in markup.
function draw(p) {
  const focused = grid.contains(document.activeElement) ? keyOf(document.activeElement) : null;
  const { r0, k0, rowCount, colCount } = win;
  const cells = cellMarkup.repeat(colCount);
  parser.innerHTML = '<div class="grid-head" role="row" aria-rowindex="1"><div class="corner" ' +
    'role="columnheader" aria-colindex="1"><span aria-hidden="true">Out ╲ In</span><span class="sr">' +
    'Outputs down, inputs across</span></div>' +
    '<div class="in-head" role="columnheader"><span></span></div>'.repeat(colCount) + '</div>' +
    ('<div class="grid-row" role="row"><div class="row-name" role="rowheader" aria-colindex="1">' +
    '<button type="button" class="row-head" tabindex="-1"><span class="lock" aria-hidden="true"></span>' +
    `<span class="label"></span></button></div>${cells}</div>`).repeat(rowCount);
  const [top, ...made] = parser.content.children;
  heads = [...top.children].slice(1);
  lines = made.map((el) => ({ el, name: el.firstChild, head: el.firstChild.firstChild,
    cells: [...el.children].slice(1).map((c) => c.firstChild), o: null }));
  heads.forEach((th, j) => placeHead(th, k0 + j, p));
  rows = new Map();
  lines.forEach((line, j) => {
    placeLine(line, r0 + j, p);
    line.cells.forEach((c, j2) => placeCell(c, k0 + j2, p));
  });
  stop = null;
  grid.replaceChildren(top, ...made);
  if (focused) elementOf(focused)?.focus({ preventScroll: true });
}

function placeHead(th, k, p) {
  th.dataset.n = ins[k];
  th.setAttribute('aria-colindex', k + 2);
  th.style.left = `${p.side + k * p.x}px`;
}

function placeCell(c, k, p) {
  c.dataset.input = ins[k];
  const box = c.parentNode;
  box.setAttribute('aria-colindex', k + 2);
  box.classList.toggle('q', k % 4 === 3);
  box.style.left = `${p.side + k * p.x}px`;
}

function placeLine(line, r, p) {
  if (rows.get(line.o) === line) rows.delete(line.o);
  line.o = outs[r];
  rows.set(line.o, line);
  line.el.setAttribute('aria-rowindex', r + 2);
  line.el.style.top = `${p.head + r * p.y}px`;
  line.head.dataset.n = line.o;
  for (const c of line.cells) c.dataset.output = line.o;
}

// Which places of a window of n change when it moves by d, and how: the elements that left
// are moved (in `list` and in the page) to the side that came into view, so the order of
// the elements stays the order shown. Answers the places j whose content changed.
function rotate(list, d, toEnd, toStart) {
  const n = list.length;
  if (Math.abs(d) >= n) return range(0, n);
  if (d > 0) {
    const moved = list.splice(0, d);
    list.push(...moved);
    toEnd(moved);
    return range(n - d, n);
  }
  const moved = list.splice(n + d, -d);
  list.unshift(...moved);
  toStart(moved);
  return range(0, -d);
}

// A control whose place leaves the window gives up the focus, as one scrolled away would:
// its element is about to show another place. `at` answers a control's row or column.
function dropFocusLeaving(at, start, count) {
  const c = document.activeElement;
  if (!c || !grid.contains(c) || !c.matches('button.cell, button.row-head')) return;
  const place = at(keyOf(c));
  if (place != null && (place < start || place >= start + count)) c.blur();
}

function shiftColumns(k0, p) {
  const d = k0 - win.k0;
  win.k0 = k0;
  dropFocusLeaving((key) => (key.i == null ? null : inAt.get(key.i)), k0, win.colCount);
  const boxes = (cells) => cells.map((c) => c.parentNode);
  const headRow = heads[0].parentNode;
  const changed = rotate(heads, d, (moved) => headRow.append(...moved),
    (moved) => headRow.firstChild.after(...moved));
  for (const j of changed) placeHead(heads[j], k0 + j, p);
  for (const line of lines) {
    rotate(line.cells, d, (moved) => line.el.append(...boxes(moved)), (moved) => line.name.after(...boxes(moved)));
    for (const j of changed) placeCell(line.cells[j], k0 + j, p);
  }
  for (const j of changed) setText(heads[j].firstChild, `${ins[k0 + j]} ${inputLabel(ins[k0 + j])}`);
  const on = live(model);
  for (const line of lines) paintLine(model, line, on, changed);
}

function shiftRows(r0, p) {
  const d = r0 - win.r0;
  win.r0 = r0;
  dropFocusLeaving((key) => outAt.get(key.o), r0, win.rowCount);
  const headRow = heads[0].parentNode;
  const els = (moved) => moved.map((line) => line.el);
  const changed = rotate(lines, d, (moved) => grid.append(...els(moved)), (moved) => headRow.after(...els(moved)));
  const on = live(model);
  for (const j of changed) {
    placeLine(lines[j], r0 + j, p);
    paintLine(model, lines[j], on);
  }
}

const elementOf = (key) => {
  const line = rows.get(key.o);
  if (!line || key.i == null) return line?.head;
  return line.cells[inAt.get(key.i) - win.k0];
};

function paintAll(m) {
  if (!win) return;
  heads.forEach((th, j) => setText(th.firstChild, `${ins[win.k0 + j]} ${inputLabel(ins[win.k0 + j])}`));
  const on = live(m);
  for (const line of lines) paintLine(m, line, on);
}

// Paints a row: its name and all its cells, or only the cells at the places in `only`.
function paintLine(m, line, on = live(m), only = null) {
  const o = m.outputs.get(line.o);
  if (!o) return;
  const staged = m.pending.get(line.o);
  const locked = o.lock === 'other';
  if (!only) {
    const head = line.head;
    setText(head.lastChild, `${line.o} ${o.label}`);
    setAttr(head, 'aria-pressed', String(m.selected === line.o));
    setAttr(head, 'data-lock', o.lock);
    setAttr(head, 'aria-description', o.lock === 'none' ? null : lockText[o.lock]);
    setAttr(head, 'title', `${o.label} — ${lockText[o.lock] || o.lock}`);
    line.el.classList.toggle('locked', locked);
  }
  const off = locked || !on;
  for (const j of only || line.cells.keys()) {
    const c = line.cells[j], i = ins[win.k0 + j];
    const video = o.input === i, audio = o.audio === i;
    const split = video !== audio && o.audio != null;
    setAttr(c, 'aria-label', `${inputLabel(i)} to ${o.label}`);
    setAttr(c, 'aria-pressed', String(video || (split && audio)));
    setAttr(c, 'data-level', !split ? null : video ? 'video' : 'audio');
    setAttr(c, 'aria-description', staged === i ? 'pending' : split ? `${video ? 'video' : 'audio'} only` : null);
    c.classList.toggle('staged', staged === i);
    if (c.disabled !== off) c.disabled = off;
  }
}

// One control in the tab order: the remembered one when drawn, else the first row's name.
function markTabStop() {
  let want = win ? elementOf(rove) : null;
  if (!want || want.disabled) want = lines[0]?.head || null;
  if (stop && stop !== want) stop.tabIndex = -1;
  stop = want;
  if (stop && stop.tabIndex !== 0) stop.tabIndex = 0;
}

function markHot() {
  if (!win) return;
  heads.forEach((th, j) => th.classList.toggle('hot', ins[win.k0 + j] === hotInput));
}

// Brings an output's row into view (a search or a selection elsewhere).
export function showOutputInGrid(n) {
  const r = outAt.get(n);
  if (r == null || model.view !== 'grid') return;
  bringIntoView(r, -1);
  redrawWindow();
}
