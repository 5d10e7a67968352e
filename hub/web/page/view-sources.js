// Sources for the selected output, or, while "Rename inputs" is on, a name field per input.
import { $, h, setText, setAttr, show } from './dom.js';
import { path } from './api.js';
import { model, update } from './state.js';
import { pick } from './routing.js';
import { editable, syncField } from './edit.js';

const box = $('sources'), hint = $('sources-hint'), rename = $('rename-inputs');
const tiles = new Map();
let built = '';

rename.addEventListener('click', () => {
  model.renameInputs = !model.renameInputs;
  update();
  if (model.renameInputs) box.querySelector('input.source-name')?.focus();
});

box.addEventListener('click', (e) => {
  const b = e.target.closest('button.source');
  if (b && !b.disabled && model.selected != null) pick(model.selected, Number(b.dataset.n));
});

export function renderSources(m) {
  const o = m.outputs.get(m.selected);
  setAttr(rename, 'aria-pressed', String(m.renameInputs));
  const key = `${m.renameInputs}:${[...m.inputs.keys()].join()}`;
  if (key !== built) {
    built = key;
    tiles.clear();
    box.replaceChildren(...[...m.inputs.keys()].map(m.renameInputs ? makeField : makeButton));
  }
  show(box, !!o || m.renameInputs);
  setText(hint, m.renameInputs ? 'Enter keeps a new name, Escape cancels it; an empty name brings the default back.'
    : !o ? 'Choose an output first.'
    : o.lock === 'other' ? `Output ${o.n} is locked by another controller.`
    : `Source for Output ${o.n} ${o.label}:`);

  const staged = o ? m.pending.get(o.n) : undefined;
  for (const i of m.inputs.values()) {
    const t = tiles.get(i.n);
    if (m.renameInputs) { syncField(t, i.label); continue; }
    setAttr(t.b, 'aria-label', `Input ${i.n} ${i.label}`);
    setAttr(t.b, 'aria-pressed', String(!!o && o.input === i.n));
    setAttr(t.b, 'title', i.label);
    t.b.classList.toggle('staged', staged === i.n);
    t.b.disabled = !o || o.lock === 'other';
    setText(t.name, i.label);
  }
}

function makeButton(n) {
  const t = { name: h('span', { class: 'name' }) };
  t.b = h('button', { type: 'button', class: 'source', 'data-n': n },
    h('span', { class: 'num' }, String(n)), t.name);
  tiles.set(n, t);
  return t.b;
}

function makeField(n) {
  const f = h('input', { type: 'text', class: 'source-name', 'data-n': n, 'aria-label': `Input ${n} name`,
    autocomplete: 'off', spellcheck: 'false' });
  editable(f, () => ({ path: path.inputLabel(n), what: `Input ${n}`, label: () => model.inputs.get(n)?.label ?? '' }));
  tiles.set(n, f);
  return h('label', { class: 'source-edit' }, h('span', { class: 'num' }, String(n)), f);
}
