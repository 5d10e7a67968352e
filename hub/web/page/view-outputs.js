// One button per output: its number and name, its current source, a staged source, a lock
// mark. What the button says is its accessible name, so the two never differ. A search
// hides the outputs it does not match; the browser skips drawing tiles out of view.
import { $, h, setText, setAttr } from './dom.js';
import { model, inputLabel, sourceText, lockText, matches, touched, repaintingAll } from './state.js';
import { select } from './routing.js';
import { roving, keepStop } from './keys.js';

const box = $('outputs');
const tiles = new Map();
let built = '';

roving(box, 'button.output');

box.addEventListener('click', (e) => {
  const b = e.target.closest('button.output');
  if (!b) return;
  select(Number(b.dataset.n));
  // On a phone the sources sit below the outputs; bring them up.
  if (matchMedia('(max-width: 719px)').matches) {
    const panel = $('output-panel');
    if (panel.getBoundingClientRect().top > innerHeight * 0.6) panel.scrollIntoView({ block: 'start' });
  }
});

export function renderOutputs(m) {
  const key = [...m.outputs.keys()].join();
  if (key !== built) {
    built = key;
    tiles.clear();
    box.replaceChildren(...[...m.outputs.keys()].map(make));
  }
  const all = repaintingAll();
  let found = false;
  for (const o of m.outputs.values()) {
    const t = tiles.get(o.n);
    if (all) { t.b.hidden = !matches(o.n, o.label); found ||= !t.b.hidden; }
    if (all || touched(o.n)) paint(t, o);
  }
  // A search that matches no output leaves them all in view.
  if (all && !found) for (const t of tiles.values()) t.b.hidden = false;
  keepStop(box, 'button.output', tiles.get(m.selected)?.b);
}

function make(n) {
  const t = {
    name: h('span', { class: 'name' }),
    src: h('span'),
    pend: h('span'),
    lock: h('span', { class: 'sr' }),
  };
  t.b = h('button', { type: 'button', class: 'output', 'data-n': n, tabindex: -1 },
    h('span', { class: 'head' }, h('span', { class: 'num' }, String(n)), t.name,
      h('span', { class: 'lock', 'aria-hidden': 'true' }), t.lock),
    h('span', { class: 'src' }, t.say = h('span', { class: 'sr' }), t.src),
    h('span', { class: 'pend' }, h('span', { class: 'sr' }, ', pending source '),
      h('span', { 'aria-hidden': 'true' }, '→ '), t.pend));
  tiles.set(n, t);
  return t.b;
}

function paint(t, o) {
  const p = model.pending.get(o.n);
  setAttr(t.b, 'aria-pressed', String(model.selected === o.n));
  setAttr(t.b, 'data-lock', o.lock);
  setAttr(t.b, 'title', `${o.label} — ${lockText[o.lock] || o.lock}`);
  t.b.classList.toggle('staged', p != null);
  setText(t.name, o.label);
  setText(t.lock, o.lock === 'none' ? '' : `, ${lockText[o.lock].toLowerCase()}`);
  setText(t.say, o.input == null ? ', ' : ', source ');
  setText(t.src, sourceText(o));
  setText(t.pend, p == null ? '' : `${p} ${inputLabel(p)}`);
  // The line stays when empty, so staging a route moves no tile.
  t.pend.parentNode.classList.toggle('none', p == null);
}
