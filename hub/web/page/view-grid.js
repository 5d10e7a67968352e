// Crosspoint grid: inputs across, outputs down. Only the rows and columns in view exist
// (a 1,024 × 1,024 switcher would be a million buttons); spacers before and after them keep
// the scroll range whole. The table is one stop in the tab order; arrow keys, Home and End
// move between cells and row names, scrolling the window along.
import { $, h, setText, setAttr } from './dom.js';
import { model, live, inputLabel, lockText, matches, touched, repaintingAll } from './state.js';
import { pick, select } from './routing.js';

const scroller = $('grid-scroll'), table = $('grid');
const NEAR = 2;                  // rows and columns needed beyond the edges of the view
const SPARE = 3;                 // and drawn beyond those: small scrolls need no redraw, and a
                                 // redraw stays small enough for one frame
let outs = [], ins = [];         // numbers shown, in display order
let outAt = new Map(), inAt = new Map();   // number -> index in outs / ins
let axes = '';                   // what outs and ins were made from
let win = null;                  // {r0, r1, k0, k1}: rows and columns drawn, ends excluded
let rows = new Map();            // output -> {tr, head, cells: Map(input -> button)}
let heads = new Map();           // input -> th
let pitch = null;                // {x, y, head, side}: a cell's step, the pinned names' size
let rove = { o: null, i: null }; // the table's tab stop (i null: the row's name)
let hotInput = null;

table.addEventListener('click', (e) => {
  const c = e.target.closest('button.cell');
  if (c) { pick(Number(c.dataset.output), Number(c.dataset.input)); return; }
  const r = e.target.closest('button.row-head');
  if (r) select(Number(r.dataset.n));
});

table.addEventListener('focusin', (e) => {
  const c = e.target.closest('button.cell, button.row-head');
  if (!c) return;
  rove = keyOf(c);
  markTabStop();
  hotInput = rove.i;
  markHot();
});

table.addEventListener('focusout', () => { hotInput = null; markHot(); });

const keyOf = (c) => (c.classList.contains('row-head')
  ? { o: Number(c.dataset.n), i: null } : { o: Number(c.dataset.output), i: Number(c.dataset.input) });

const steps = { ArrowLeft: [0, -1], ArrowRight: [0, 1], ArrowUp: [-1, 0], ArrowDown: [1, 0] };

// Cells of rows locked by another controller, and all of them while offline, are disabled:
// the keys step over them.
const usable = (r, k) => k < 0 || (live() && model.outputs.get(outs[r])?.lock !== 'other');

table.addEventListener('keydown', (e) => {
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
  paintWindow(model, placeWindow());
  const row = rows.get(outs[r]);
  (k < 0 ? row?.head : row?.cells.get(ins[k]))?.focus();
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
addEventListener('resize', () => { pitch = null; if (!scrolled) scrolled = requestAnimationFrame(redrawWindow); });

function redrawWindow() {
  scrolled = 0;
  if (model.view !== 'grid' || !model.loaded) return;
  const drawn = placeWindow();
  if (drawn) paintWindow(model, drawn);
}

export function renderGrid(m) {
  if (m.view !== 'grid') { axes = ''; win = null; return; }
  if (repaintingAll()) setAxes(m);
  const drawn = placeWindow();
  paintWindow(m, repaintingAll() ? 'all' : drawn);
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
  setAttr(table, 'aria-rowcount', outs.length + 1);
  setAttr(table, 'aria-colcount', ins.length + 1);
  win = null;
  scroller.scrollTop = scroller.scrollLeft = 0;
}

// A cell's step and the pinned names' size, measured once drawn; a first guess before.
function measure() {
  if (pitch) return pitch;
  const cell = table.querySelector('tbody td.c');
  const corner = table.querySelector('th.corner');
  if (cell && corner) {
    pitch = { x: cell.offsetWidth, y: cell.offsetHeight, head: corner.offsetHeight, side: corner.offsetWidth };
    return pitch;
  }
  const size = matchMedia('(pointer: fine)').matches ? 37 : 45;
  return { x: size, y: size, head: 140, side: 160 };
}

// Works out which rows and columns the view needs and draws them when that changed.
// Answers what was drawn: 'all', {rows, ins}: the outputs and inputs that came into view, or
// null.
function placeWindow() {
  const p = measure();
  // The scroller is as big as the table until it reaches its limit: plan for the window's size.
  const height = Math.max(scroller.clientHeight, innerHeight), width = Math.max(scroller.clientWidth, innerWidth);
  const r0 = Math.max(0, Math.floor(scroller.scrollTop / p.y) - NEAR);
  const r1 = Math.min(outs.length, Math.ceil((scroller.scrollTop + height - p.head) / p.y) + NEAR);
  const k0 = Math.max(0, Math.floor(scroller.scrollLeft / p.x) - NEAR);
  const k1 = Math.min(ins.length, Math.ceil((scroller.scrollLeft + width - p.side) / p.x) + NEAR);
  if (win && win.r0 <= r0 && win.r1 >= r1 && win.k0 <= k0 && win.k1 >= k1
      && win.r1 - win.r0 <= r1 - r0 + 2 * SPARE && win.k1 - win.k0 <= k1 - k0 + 2 * SPARE) {
    return null;
  }
  const before = win;
  win = {
    r0: Math.max(0, r0 - SPARE), r1: Math.min(outs.length, r1 + SPARE),
    k0: Math.max(0, k0 - SPARE), k1: Math.min(ins.length, k1 + SPARE),
  };
  // A scroll keeps what stays in view: only the rows and columns that came into it are made.
  if (before && pitch && before.r0 < win.r1 && win.r0 < before.r1 && before.k0 < win.k1 && win.k0 < before.k1) {
    const fresh = { rows: new Set(), ins: new Set() };
    if (before.k0 !== win.k0 || before.k1 !== win.k1) fresh.ins = shiftColumns(before, p);
    if (before.r0 !== win.r0 || before.r1 !== win.r1) fresh.rows = shiftRows(before, p);
    return fresh;
  }
  const guessed = !pitch;
  draw(p);
  if (guessed && measure() !== p && (pitch.x !== p.x || pitch.y !== p.y)) { win = null; return placeWindow(); }
  return 'all';
}

const spacer = (px, side) => {
  const d = h('div', { class: 'spacer' });
  d.style[side] = `${px}px`;
  return d;
};

let body = null, above = null, below = null, topRow = null, shownIns = [];
const parser = document.createElement('template');

// Column k's cell in output o's row, as markup (numbers only).
const cellMarkup = (o, k) => `<td class="${k % 4 === 3 ? 'c q' : 'c'}" aria-colindex="${k + 2}"><button ` +
  `type="button" class="cell" tabindex="-1" data-output="${o}" data-input="${ins[k]}" aria-pressed="false"></button></td>`;

const headOf = (k) => {
  const i = ins[k];
  const th = h('th', { class: 'in-head', scope: 'col', 'data-n': i, 'aria-colindex': k + 2 }, h('span'));
  heads.set(i, th);
  return th;
};

const range = (a, b) => Array.from({ length: Math.max(0, b - a) }, (_, j) => a + j);

// Drops the columns that left the window and makes those that came into it, in every drawn
// row. Answers the inputs made.
function shiftColumns(before, p) {
  const focused = table.contains(document.activeElement) ? keyOf(document.activeElement) : null;
  const gone = (i) => { const k = inAt.get(i); return k < win.k0 || k >= win.k1; };
  for (const [i, th] of heads) if (gone(i)) { th.remove(); heads.delete(i); }
  for (const row of rows.values()) {
    for (const [i, c] of row.cells) if (gone(i)) { c.parentNode.remove(); row.cells.delete(i); }
  }
  const left = range(win.k0, Math.min(before.k0, win.k1));
  const right = range(Math.max(before.k1, win.k0), win.k1);
  topRow.children[1].after(...left.map(headOf));
  topRow.lastElementChild.before(...right.map(headOf));
  for (const [o, row] of rows) {
    const tds = row.tr.children;
    tds[1].insertAdjacentHTML('afterend', left.map((k) => cellMarkup(o, k)).join(''));
    tds[tds.length - 1].insertAdjacentHTML('beforebegin', right.map((k) => cellMarkup(o, k)).join(''));
    for (let j = 0; j < left.length; j++) row.cells.set(ins[left[j]], tds[2 + j].firstChild);
    for (let j = 0; j < right.length; j++) row.cells.set(ins[right[j]], tds[tds.length - 1 - right.length + j].firstChild);
  }
  shownIns = ins.slice(win.k0, win.k1);
  topRow.children[1].firstChild.style.width = `${win.k0 * p.x}px`;
  topRow.lastElementChild.firstChild.style.width = `${(ins.length - win.k1) * p.x}px`;
  for (const gap of [above, below]) gap.firstChild.colSpan = shownIns.length + 3;
  if (focused && !table.contains(document.activeElement)) elementOf(focused)?.focus({ preventScroll: true });
  return new Set([...left, ...right].map((k) => ins[k]));
}

// Rows r0 … r1 - 1 as elements, kept in `rows`. They are made from one piece of markup: the
// browser parses it far faster than cells are made one by one. Only numbers go into it;
// names are set as text by paintWindow().
function makeRows(r0, r1) {
  const columns = range(win.k0, win.k1);
  const cellsOf = (o) => columns.map((k) => cellMarkup(o, k)).join('');
  const gap = '<td class="gap" aria-hidden="true"></td>';
  parser.innerHTML = outs.slice(r0, r1).map((o, r) => `<tr aria-rowindex="${r0 + r + 2}"><th scope="row" ` +
    `aria-colindex="1"><button type="button" class="row-head" tabindex="-1" data-n="${o}"><span class="lock" ` +
    `aria-hidden="true"></span><span class="label"></span></button></th>${gap}${cellsOf(o)}${gap}</tr>`).join('');
  const made = [...parser.content.children];
  made.forEach((tr, r) => {
    const cells = new Map();
    tr.querySelectorAll('button.cell').forEach((c, k) => cells.set(shownIns[k], c));
    rows.set(outs[r0 + r], { tr, head: tr.querySelector('button.row-head'), cells });
  });
  return made;
}

function setSpacers(p) {
  above.firstChild.firstChild.style.height = `${win.r0 * p.y}px`;
  below.firstChild.firstChild.style.height = `${(outs.length - win.r1) * p.y}px`;
}

function shiftRows(before, p) {
  const focused = table.contains(document.activeElement) ? keyOf(document.activeElement) : null;
  for (const [n, row] of rows) {
    const r = outAt.get(n);
    if (r < win.r0 || r >= win.r1) { row.tr.remove(); rows.delete(n); }
  }
  const fresh = new Set();
  const top = makeRows(win.r0, Math.min(before.r0, win.r1));
  const bottom = makeRows(Math.max(before.r1, win.r0), win.r1);
  for (const tr of [...top, ...bottom]) fresh.add(Number(tr.querySelector('button.row-head').dataset.n));
  above.after(...top);
  below.before(...bottom);
  setSpacers(p);
  if (focused && !table.contains(document.activeElement)) elementOf(focused)?.focus({ preventScroll: true });
  return fresh;
}

function draw(p) {
  const focused = table.contains(document.activeElement) ? keyOf(document.activeElement) : null;
  const { k0, k1 } = win;
  shownIns = ins.slice(k0, k1);
  heads = new Map();
  const top = topRow = h('tr', { 'aria-rowindex': 1 },
    h('th', { class: 'corner', scope: 'col', 'aria-colindex': 1 },
      h('span', { 'aria-hidden': 'true' }, 'Out ╲ In'), h('span', { class: 'sr' }, 'Outputs down, inputs across')),
    h('td', { class: 'gap', 'aria-hidden': 'true' }, spacer(k0 * p.x, 'width')));
  top.append(...range(k0, k1).map(headOf));
  top.append(h('td', { class: 'gap', 'aria-hidden': 'true' }, spacer((ins.length - k1) * p.x, 'width')));
  rows = new Map();
  const gapRow = () => h('tr', { class: 'gap', 'aria-hidden': 'true' },
    h('td', { colspan: shownIns.length + 3 }, spacer(0, 'height')));
  above = gapRow();
  below = gapRow();
  body = h('tbody', {}, above, ...makeRows(win.r0, win.r1), below);
  setSpacers(p);
  table.replaceChildren(h('thead', {}, top), body);
  if (focused) elementOf(focused)?.focus({ preventScroll: true });
}

const elementOf = (key) => {
  const row = rows.get(key.o);
  return key.i == null ? row?.head : row?.cells.get(key.i);
};

// Paints what was just drawn (`drawn` as placeWindow() answers) and the rows of outputs
// that changed.
function paintWindow(m, drawn) {
  if (!win) return;
  const all = drawn === 'all';
  for (const [n, th] of heads) if (all || drawn?.ins.has(n)) setText(th.firstChild, `${n} ${inputLabel(n)}`);
  const on = live(m);
  for (const [n, row] of rows) {
    if (all || drawn?.rows.has(n) || touched(n)) paintRow(m, n, row, on);
    else if (drawn?.ins.size) paintRow(m, n, row, on, drawn.ins);
  }
  markTabStop();
  markHot();
}

// Paints a row: its name and all its cells, or only those of the inputs in `only`.
function paintRow(m, n, row, on, only = null) {
  const o = m.outputs.get(n);
  if (!o) return;
  const staged = m.pending.get(n);
  const locked = o.lock === 'other';
  setText(row.head.lastChild, `${n} ${o.label}`);
  setAttr(row.head, 'aria-pressed', String(m.selected === n));
  setAttr(row.head, 'data-lock', o.lock);
  setAttr(row.head, 'aria-description', o.lock === 'none' ? null : lockText[o.lock]);
  setAttr(row.head, 'title', `${o.label} — ${lockText[o.lock] || o.lock}`);
  row.tr.classList.toggle('locked', locked);
  for (const [i, c] of row.cells) {
    if (only && !only.has(i)) continue;
    const video = o.input === i, audio = o.audio === i;
    const split = video !== audio && o.audio != null;
    setAttr(c, 'aria-label', `${inputLabel(i)} to ${o.label}`);
    setAttr(c, 'aria-pressed', String(video || (split && audio)));
    setAttr(c, 'data-level', !split ? null : video ? 'video' : 'audio');
    setAttr(c, 'aria-description', staged === i ? 'pending' : split ? `${video ? 'video' : 'audio'} only` : null);
    c.classList.toggle('staged', staged === i);
    const off = locked || !on;
    if (c.disabled !== off) c.disabled = off;
  }
}

// One control in the tab order: the remembered one when drawn, else the first row's name.
function markTabStop() {
  let stop = elementOf(rove);
  if (!stop || stop.disabled) stop = win ? rows.get(outs[win.r0])?.head || null : null;
  for (const b of table.querySelectorAll('[tabindex="0"]')) if (b !== stop) b.tabIndex = -1;
  if (stop && stop.tabIndex !== 0) stop.tabIndex = 0;
}

function markHot() {
  for (const [i, th] of heads) th.classList.toggle('hot', i === hotInput);
}

// Brings an output's row into view (a search or a selection elsewhere).
export function showOutputInGrid(n) {
  const r = outAt.get(n);
  if (r == null || model.view !== 'grid') return;
  bringIntoView(r, -1);
  redrawWindow();
}
