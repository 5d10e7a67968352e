// What the page knows: the switcher's state as the events socket tells it, plus this
// page's own choices (selected output, staged routes, view). Views subscribe with onUpdate.
import { say } from './message.js';

export const model = {
  version: 0,
  name: '',
  present: true,
  link: '',
  presets: 0,
  inputs: new Map(),   // n -> {n, label}
  outputs: new Map(),  // n -> {n, label, input, lock}
  salvos: [],
  loaded: false,       // a whole state has arrived since signing in
  connected: false,    // the events socket is open
  selected: null,      // output number
  pending: new Map(),  // output -> input, staged in Take mode
  takeMode: false,
  view: 'buttons',
  renameInputs: false,
};

const views = [];
export function onUpdate(fn) { views.push(fn); }
export function update() { for (const fn of views) fn(model); }

const byN = (list) => new Map([...list].sort((a, b) => a.n - b.n).map((x) => [x.n, x]));

export function loadState(s) {
  model.version = s.version;
  model.name = s.name || '';
  model.present = s.present !== false;
  model.link = s.link || '';
  model.presets = s.presets || 0;
  model.inputs = byN(s.inputs || []);
  model.outputs = byN(s.outputs || []);
  model.salvos = s.salvos || [];
  model.loaded = true;
  settle();
}

export function applyChange(c) {
  if (c.version != null) model.version = c.version;
  if ('present' in c) model.present = c.present !== false;
  if ('link' in c) model.link = c.link || '';
  if (c.salvos) model.salvos = c.salvos;
  model.inputs = merge(model.inputs, c.inputs);
  model.outputs = merge(model.outputs, c.outputs);
  settle();
}

function merge(map, changed) {
  if (!changed || !changed.length) return map;
  let fresh = false;
  for (const x of changed) {
    const old = map.get(x.n);
    if (old) Object.assign(old, x);
    else { map.set(x.n, { ...x }); fresh = true; }
  }
  return fresh ? byN(map.values()) : map;
}

// Drops choices the new state made meaningless, then repaints.
function settle() {
  if (model.selected != null && !model.outputs.has(model.selected)) model.selected = null;
  const dropped = [];
  for (const [o, i] of model.pending) {
    const out = model.outputs.get(o);
    if (!out || !model.inputs.has(i) || out.input === i) model.pending.delete(o);
    else if (out.lock === 'other') { model.pending.delete(o); dropped.push(o); }
  }
  if (dropped.length) say(`Output ${dropped.join(', ')} locked by another controller; its pending route was dropped`);
  update();
}

export const inputLabel = (n) => model.inputs.get(n)?.label || `Input ${n}`;

// Accessible names: tests and screen readers find the controls by them.
export function outputName(o) {
  let s = `Output ${o.n} ${o.label}, `
    + (o.off ? 'switched off' : o.input == null ? 'no source' : `source ${o.input} ${inputLabel(o.input)}`);
  const p = model.pending.get(o.n);
  if (p != null) s += `, pending source ${p} ${inputLabel(p)}`;
  return s;
}

export const lockText = { none: 'Not locked', mine: 'Locked by you', other: 'Locked by another controller' };
