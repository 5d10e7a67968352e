// What the page knows: the switcher's state as the events socket tells it, plus this
// page's own choices (selected output, staged routes, view, search). Views subscribe with
// onUpdate. A user's action repaints at once; the switcher's changes are gathered and painted
// once per frame, so a salvo of 1,024 routes is a few repaints, not 1,024.
import { say } from './message.js';

export const model = {
  version: 0,
  name: '',
  present: true,
  link: '',
  presets: 0,
  inputs: new Map(),   // n -> {n, label}
  outputs: new Map(),  // n -> {n, label, input, audio, lock}
  salvos: [],
  loaded: false,       // a whole state has arrived since signing in
  connected: false,    // the events socket is open
  selected: null,      // output number
  pending: new Map(),  // output -> input, staged in Take mode
  takeMode: false,
  level: 'av',         // what the next routes switch: av, video or audio
  view: 'buttons',
  renameInputs: false,
  query: '',           // the search field's text
};

// What the page shows is the switcher's present state only while both links hold.
export const live = (m = model) => m.connected && m.present;

const views = [];
let frame = 0, everything = true;
const touchedOutputs = new Set();
export function onUpdate(fn) { views.push(fn); }

// Repaints everything now.
export function update() {
  everything = true;
  paint();
}

function paint() {
  cancelAnimationFrame(frame);
  frame = 0;
  for (const fn of views) fn(model);
  everything = false;
  touchedOutputs.clear();
}

// Repaints at the next frame: the given outputs, or everything.
function paintSoon(outputs) {
  if (outputs) for (const n of outputs) touchedOutputs.add(n);
  else everything = true;
  if (!frame) frame = requestAnimationFrame(paint);
}

// Whether output n may have changed since the last paint; whether anything else may have.
export const touched = (n) => everything || touchedOutputs.has(n);
export const repaintingAll = () => everything;

const byN = (list) => new Map([...list].sort((a, b) => a.n - b.n).map((x) => [x.n, x]));

// Outputs this page asked to unlock: any other loss of a lock it held is told.
export const unlocking = new Set();

function noteLostLock(n, before, after) {
  if (before !== 'mine' || after === 'mine') return;
  if (unlocking.delete(n)) return;
  say(`Output ${n} was unlocked by another controller`);
}

export function loadState(s) {
  const old = model.outputs;
  model.version = s.version;
  model.name = s.name || '';
  model.present = s.present !== false;
  model.link = s.link || '';
  model.presets = s.presets || 0;
  model.inputs = byN(s.inputs || []);
  model.outputs = byN(s.outputs || []);
  model.salvos = s.salvos || [];
  model.loaded = true;
  for (const [n, o] of model.outputs) noteLostLock(n, old.get(n)?.lock, o.lock);
  settle();
  update();
}

export function applyChange(c) {
  let all = false;
  if (c.version != null) model.version = c.version;
  if ('present' in c) { model.present = c.present !== false; all = true; }
  if ('link' in c) { model.link = c.link || ''; all = true; }
  if (c.salvos) model.salvos = c.salvos;
  if (c.inputs?.length) {
    if (merge(model.inputs, c.inputs)) model.inputs = byN(model.inputs.values());
    all = true;
  }
  if (c.outputs?.length) {
    for (const o of c.outputs) noteLostLock(o.n, model.outputs.get(o.n)?.lock, o.lock ?? model.outputs.get(o.n)?.lock);
    if (merge(model.outputs, c.outputs)) { model.outputs = byN(model.outputs.values()); all = true; }
  }
  settle();
  paintSoon(all ? null : (c.outputs || []).map((o) => o.n));
}

// Answers whether a number new to the map came.
function merge(map, changed) {
  let fresh = false;
  for (const x of changed) {
    const old = map.get(x.n);
    if (old) Object.assign(old, x);
    else { map.set(x.n, { ...x }); fresh = true; }
  }
  return fresh;
}

// Drops choices the new state made meaningless.
function settle() {
  if (model.selected != null && !model.outputs.has(model.selected)) model.selected = null;
  const dropped = [];
  for (const [o, i] of model.pending) {
    const out = model.outputs.get(o);
    if (!out || !model.inputs.has(i) || out.input === i) model.pending.delete(o);
    else if (out.lock === 'other') { model.pending.delete(o); dropped.push(o); }
  }
  if (dropped.length) say(`Output ${dropped.join(', ')} locked by another controller; its pending route was dropped`);
}

export const inputLabel = (n) => model.inputs.get(n)?.label || `Input ${n}`;

// "3 Camera 2", and "3 Camera 2 · audio: 7 Mixer" when the sound comes from elsewhere.
export function sourceText(o) {
  if (o.off) return 'off';
  if (o.input == null) return 'no source';
  const video = `${o.input} ${inputLabel(o.input)}`;
  return o.audio != null && o.audio !== o.input ? `${video} · audio: ${o.audio} ${inputLabel(o.audio)}` : video;
}

// Search: a number matches by its first digits, anything else any part of the name.
export function matches(n, label) {
  const q = model.query.trim().toLowerCase();
  if (!q) return true;
  return (/^\d+$/.test(q) && String(n).startsWith(q)) || label.toLowerCase().includes(q);
}

export const lockText = { none: 'Not locked', mine: 'Locked by you', other: 'Locked by another controller' };
