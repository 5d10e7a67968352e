// Renaming in place: Enter or leaving the field keeps a change, Escape puts the old name
// back. target() names what the field edits, taken when editing starts so a selection
// that moves meanwhile cannot redirect the change. Once kept, the field shows the name as the
// switcher keeps it (a default for an empty one, a long one cut), even while still focused.
import { call } from './api.js';
import { say } from './message.js';

const resync = new WeakSet();   // fields to be brought in step though focused

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
    const asked = t, label = field.value;
    before = label;
    const r = await call('PUT', asked.path, { label });
    if (!r.ok) {
      say(`${asked.what} keeps its name: ${r.error}`);
      if (document.activeElement !== field) field.value = asked.label();
      return;
    }
    // Show at once the name as kept; the socket's change, before or after this answer,
    // has the last word.
    if (field.value === label) {
      field.value = before = keptName(label, asked.what);
      resync.add(field);
    }
  }
}

// A name as every door keeps it: control characters blanked, blanks at either end gone, cut
// at 40 code points; an empty one is the default name (which `what` is).
export function keptName(label, what) {
  return [...label.replace(/[\u0000-\u001f\u007f]/g, ' ').trim()].slice(0, 40).join('') || what;
}

// Keeps a field in step with the model, except while someone types in it.
export function syncField(field, value) {
  if (field.value === value) { resync.delete(field); return; }
  if (document.activeElement !== field || resync.delete(field)) field.value = value;
}
