// The selected output's own controls: its name and its lock.
import { $, setText, setAttr } from './dom.js';
import { call, path } from './api.js';
import { say } from './message.js';
import { model, lockText, unlocking } from './state.js';
import { editable, syncField } from './edit.js';

const panel = $('output-panel'), title = $('op-title'), name = $('output-name'),
  lock = $('lock-button'), lockVerb = $('lock-verb'), lockWhat = $('lock-what'), note = $('lock-note');

editable(name, () => {
  const o = model.outputs.get(model.selected);
  return o && { path: path.outputLabel(o.n), what: `Output ${o.n}`, label: () => o.label };
});

const act = { none: ['Lock', 'lock'], mine: ['Unlock', 'unlock'], other: ['Force unlock', 'force'] };

lock.addEventListener('click', async () => {
  const o = model.outputs.get(model.selected);
  if (!o) return;
  const action = act[o.lock]?.[1] || 'lock';
  if (action === 'force' && !confirm(`Open the lock another controller holds on Output ${o.n}?`)) return;
  if (action === 'unlock') unlocking.add(o.n);
  const r = await call('POST', `/api/v1/outputs/${o.n}/lock`, { action });
  if (!r.ok) { unlocking.delete(o.n); say(r.error); }
});

export function renderPanel(m) {
  // The panel sits beside the sources, or atop the side column in the grid view.
  const slot = $(m.view === 'grid' ? 'panel-slot-grid' : 'panel-slot-buttons');
  if (panel.parentNode !== slot) slot.append(panel);

  const o = m.outputs.get(m.selected);
  if (panel.hidden !== !o) panel.hidden = !o;
  if (!o) return;
  setText(title, `Output ${o.n}`);
  syncField(name, o.label);
  setText(lockVerb, act[o.lock]?.[0] || 'Lock');
  setText(lockWhat, ` Output ${o.n}`);
  setAttr(lock, 'data-lock', o.lock);
  setText(note, o.lock === 'none' ? '' : lockText[o.lock]);
}
