// One button per output: its name, its current source, a staged source, a lock mark.
import { $, h, setText, setAttr } from './dom.js';
import { model, inputLabel, outputName, lockText } from './state.js';
import { select } from './routing.js';

const box = $('outputs');
const tiles = new Map();
let built = '';

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
  for (const o of m.outputs.values()) paint(tiles.get(o.n), o);
}

function make(n) {
  const t = {
    name: h('span', { class: 'name' }),
    src: h('span', { class: 'src' }),
    pend: h('span', { class: 'pend' }),
  };
  t.b = h('button', { type: 'button', class: 'output', 'data-n': n },
    h('span', { class: 'head' }, h('span', { class: 'num' }, String(n)), t.name,
      h('span', { class: 'lock', 'aria-hidden': 'true' })),
    t.src, t.pend);
  tiles.set(n, t);
  return t.b;
}

function paint(t, o) {
  const p = model.pending.get(o.n);
  setAttr(t.b, 'aria-label', outputName(o));
  setAttr(t.b, 'aria-pressed', String(model.selected === o.n));
  setAttr(t.b, 'data-lock', o.lock);
  setAttr(t.b, 'aria-description', o.lock === 'none' ? null : lockText[o.lock]);
  setAttr(t.b, 'title', `${o.label} — ${lockText[o.lock] || o.lock}`);
  t.b.classList.toggle('staged', p != null);
  setText(t.name, o.label);
  setText(t.src, o.off ? 'off' : o.input == null ? 'no source' : `${o.input} ${inputLabel(o.input)}`);
  setText(t.pend, p == null ? '' : `→ ${p} ${inputLabel(p)}`);
}
