// The switcher's own presets: save the current routes under a number, or recall them.
import { $ } from './dom.js';
import { call } from './api.js';
import { say } from './message.js';
import { model } from './state.js';

const number = $('preset-number');

async function send(action, done) {
  const n = Number(number.value);
  if (!Number.isInteger(n) || n < 1 || (model.presets && n > model.presets)) {
    say(`A preset number is 1 to ${model.presets || '…'}`);
    number.focus();
    return;
  }
  const r = await call('POST', `/api/v1/presets/${n}/${action}`);
  say(r.ok ? `Preset ${n} ${done}` : r.error, r.ok ? 'info' : 'error');
}

$('preset-save').addEventListener('click', () => send('save', 'saved on the switcher'));
$('preset-recall').addEventListener('click', () => send('recall', 'recalled'));

export function renderPresets(m) {
  const max = m.presets ? String(m.presets) : null;
  if (number.getAttribute('max') !== max) {
    if (max) number.setAttribute('max', max); else number.removeAttribute('max');
  }
}
