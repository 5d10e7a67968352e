// Sources for the selected output, or, while "Rename inputs" is on, a name field per input.
// A search hides the inputs it does not match.
import { $, h, setText, setAttr, show } from './dom.js';
import { path } from './api.js';
import { model, live, update, matches, touched, repaintingAll } from './state.js';
import { pick } from './routing.js';
import { editable, syncField } from './edit.js';
import { roving, keepStop } from './keys.js';

const box = $('sources'), hint = $('sources-hint'), rename = $('rename-inputs');
const tiles = new Map();
let built = '';

roving(box, 'button.source');

rename.addEventListener('click', () => {
  model.renameInputs = !model.renameInputs;
  update();
  if (model.renameInputs) box.querySelector('label.source-edit:not([hidden]) input')?.focus();
});

box.addEventListener('click', (e) => {
  const b = e.target.closest('button.source');
  if (b && !b.disabled && model.selected != null) pick(model.selected, Number(b.dataset.n));
});

export function renderSources(m) {
  if (!repaintingAll() && !touched(m.selected)) return;
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
  const usable = !!o && o.lock !== 'other' && live(m);
  const found = [...m.inputs.values()].filter((i) => matches(i.n, i.label)).length > 0;
  for (const i of m.inputs.values()) {
    const t = tiles.get(i.n);
    t.box.hidden = found && !matches(i.n, i.label);
    if (m.renameInputs) { syncField(t.field, i.label); continue; }
    setAttr(t.b, 'aria-pressed', String(!!o && o.input === i.n));
    setAttr(t.b, 'title', i.label);
    t.b.classList.toggle('staged', staged === i.n);
    t.b.disabled = !usable;
    setText(t.name, i.label);
    // An output whose sound comes from elsewhere: its picture's source yellow, its sound's cyan.
    const split = !!o && o.audio != null && o.audio !== o.input;
    const level = !split ? null : o.input === i.n ? 'video' : o.audio === i.n ? 'audio' : null;
    setAttr(t.b, 'data-level', level);
    setText(t.note, (level ? `, ${level} only` : '') + (staged === i.n ? ', pending' : ''));
  }
  if (!m.renameInputs) keepStop(box, 'button.source', o && tiles.get(o.input)?.b);
}

function makeButton(n) {
  const t = { name: h('span', { class: 'name' }), note: h('span', { class: 'sr' }) };
  t.b = t.box = h('button', { type: 'button', class: 'source', 'data-n': n, tabindex: -1 },
    h('span', { class: 'num' }, String(n)), t.name, t.note);
  tiles.set(n, t);
  return t.b;
}

function makeField(n) {
  const f = h('input', { type: 'text', class: 'source-name', 'data-n': n, 'aria-label': `Input ${n} name`,
    autocomplete: 'off', spellcheck: 'false' });
  editable(f, () => ({ path: path.inputLabel(n), what: `Input ${n}`, label: () => model.inputs.get(n)?.label ?? '' }));
  const t = { field: f, box: h('label', { class: 'source-edit' }, h('span', { class: 'num' }, String(n)), f) };
  tiles.set(n, t);
  return t.box;
}
