// Renaming in place: Enter or leaving the field keeps a change, Escape puts the old name
// back. target() names what the field edits, taken when editing starts so a selection
// that moves meanwhile cannot redirect the change.
import { call } from './api.js';
import { say } from './message.js';

export function editable(field, target) {
  let t = null, before = '';
  field.addEventListener('focus', () => { t = target(); before = field.value; });
  field.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') { e.preventDefault(); keep(); }
    else if (e.key === 'Escape') { e.preventDefault(); e.stopPropagation(); field.value = before; }
  });
  field.addEventListener('blur', () => { keep(); t = null; });

  async function keep() {
    if (!t || field.value === before) return;
    const label = field.value;
    before = label;
    const r = await call('PUT', t.path, { label });
    if (!r.ok) {
      say(`${t.what} keeps its name: ${r.error}`);
      if (document.activeElement !== field) field.value = t.label();
    }
  }
}

// Keeps a field in step with the model, except while someone types in it.
export function syncField(field, value) {
  if (document.activeElement !== field && field.value !== value) field.value = value;
}
