// The sign-in form, shown when matrixd asks for a password.
import { $ } from './dom.js';
import { call } from './api.js';

const view = $('sign-in-view'), form = $('sign-in-form'), field = $('password'),
  button = $('sign-in'), error = $('sign-in-error');
let done = () => {};

form.addEventListener('submit', async (e) => {
  e.preventDefault();
  button.disabled = true;
  error.textContent = '';
  const r = await call('POST', '/api/v1/session', { password: field.value });
  button.disabled = false;
  if (r.ok) {
    field.value = '';
    view.hidden = true;
    done();
    return;
  }
  let text = r.error;
  if (r.status === 429 && r.retryAfter) text += ` (try again in ${r.retryAfter} s)`;
  error.textContent = text;
  field.select();
});

export function showSignIn(then) {
  done = then;
  $('panel').hidden = true;
  view.hidden = false;
  field.focus();
}
