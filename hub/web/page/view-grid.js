// Crosspoint grid: inputs across, outputs down. The table is one stop in the tab order;
// arrow keys move between cells and row names, so 64 × 64 is not 4160 tab stops.
import { $, h, setText, setAttr } from './dom.js';
import { model, inputLabel, lockText } from './state.js';
import { pick, select } from './routing.js';

const table = $('grid');
let built = '';
let outs = [], ins = [];        // numbers, in display order
let rows = new Map();           // output -> {tr, head, cells: Map(input -> button)}
let heads = new Map();          // input -> th
let rove = null, hot = null;

table.addEventListener('click', (e) => {
  const c = e.target.closest('button.cell');
  if (c) { pick(Number(c.dataset.output), Number(c.dataset.input)); return; }
  const r = e.target.closest('button.row-head');
  if (r) select(Number(r.dataset.n));
});

table.addEventListener('focusin', (e) => {
  const c = e.target.closest('button.cell, button.row-head');
  if (!c) return;
  roveTo(c);
  hot?.classList.remove('hot');
  hot = heads.get(Number(c.dataset.input)) || null;
  hot?.classList.add('hot');
});

table.addEventListener('focusout', () => { hot?.classList.remove('hot'); hot = null; });

const steps = { ArrowLeft: [0, -1], ArrowRight: [0, 1], ArrowUp: [-1, 0], ArrowDown: [1, 0] };

// Column -1 is the row's name, so the whole table is one stop in the tab order.
const at = (r, k) => (k < 0 ? rows.get(outs[r]).head : rows.get(outs[r]).cells.get(ins[k]));

table.addEventListener('keydown', (e) => {
  const c = e.target.closest('button.cell, button.row-head');
  if (!c) return;
  const head = c.classList.contains('row-head');
  let r = outs.indexOf(Number(head ? c.dataset.n : c.dataset.output));
  let k = head ? -1 : ins.indexOf(Number(c.dataset.input));
  let dr = 0, dk = 0;
  if (steps[e.key]) [dr, dk] = steps[e.key];
  else if (e.key === 'Home') { k = -2; dk = 1; }
  else if (e.key === 'End') { k = ins.length; dk = -1; }
  else return;
  e.preventDefault();
  // Locked rows hold disabled cells, which cannot take focus: step over them.
  for (r += dr, k += dk; r >= 0 && r < outs.length && k >= -1 && k < ins.length; r += dr, k += dk) {
    const next = at(r, k);
    if (!next.disabled) { next.focus(); return; }
  }
});

function roveTo(c) {
  if (rove === c) return;
  if (rove) rove.tabIndex = -1;
  rove = c;
  if (c) c.tabIndex = 0;
}

export function renderGrid(m) {
  if (m.view !== 'grid') return;
  const key = `${[...m.outputs.keys()]}|${[...m.inputs.keys()]}`;
  if (key !== built) { built = key; build(m); }
  paint(m);
}

function build(m) {
  outs = [...m.outputs.keys()];
  ins = [...m.inputs.keys()];
  rows = new Map();
  heads = new Map();
  rove = hot = null;
  const top = h('tr', {}, h('th', { class: 'corner', scope: 'col' },
    h('span', { 'aria-hidden': 'true' }, 'Out ╲ In')));
  for (const i of ins) {
    const th = h('th', { class: 'in-head', scope: 'col', 'data-n': i }, h('span'));
    heads.set(i, th);
    top.append(th);
  }
  // The body as one piece of markup: the browser parses 4,096 cells far faster than they
  // are made one by one. Only numbers go into it; names are set as text by paint().
  const body = h('tbody');
  const cellsOf = (o) => ins.map((i) => `<td><button type="button" class="cell" tabindex="-1" ` +
    `data-output="${o}" data-input="${i}" aria-label="Input ${i} to Output ${o}" ` +
    `aria-pressed="false"></button></td>`).join('');
  body.innerHTML = outs.map((o) => `<tr><th scope="row"><button type="button" class="row-head" ` +
    `tabindex="-1" data-n="${o}"></button></th>${cellsOf(o)}</tr>`).join('');
  [...body.rows].forEach((tr, r) => {
    const cells = new Map();
    tr.querySelectorAll('button.cell').forEach((c, k) => cells.set(ins[k], c));
    rows.set(outs[r], { tr, head: tr.querySelector('button.row-head'), cells });
  });
  table.replaceChildren(h('thead', {}, top), body);
}

function paint(m) {
  for (const [n, th] of heads) setText(th.firstChild, `${n} ${inputLabel(n)}`);
  for (const [n, row] of rows) {
    const o = m.outputs.get(n);
    const staged = m.pending.get(n);
    const locked = o.lock === 'other';
    setText(row.head, `${n} ${o.label}`);
    setAttr(row.head, 'aria-pressed', String(m.selected === n));
    setAttr(row.head, 'data-lock', o.lock);
    // The names of a cell are its row's and column's: one title each, not 4,096.
    setAttr(row.head, 'title', `${o.label} — ${lockText[o.lock] || o.lock}`);
    row.tr.classList.toggle('locked', locked);
    for (const [i, c] of row.cells) {
      setAttr(c, 'aria-pressed', String(o.input === i));
      setAttr(c, 'aria-description', staged === i ? 'pending' : null);
      c.classList.toggle('staged', staged === i);
      if (c.disabled !== locked) c.disabled = locked;
    }
  }
  // Keep one control in the tab order: the first row's current cell, else its name.
  if (!rove || rove.disabled || !rove.isConnected) {
    const row = rows.values().next().value;
    const on = row && [...row.cells.values()].find((c) => !c.disabled && c.getAttribute('aria-pressed') === 'true');
    roveTo(on || row?.head || null);
  }
}
