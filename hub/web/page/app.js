// Start-up: find out whether a password is needed, then run the panel on the events socket.
import { $, setAttr, show } from './dom.js';
import { call, onSignedOut } from './api.js';
import { model, live, onUpdate, update, loadState, applyChange } from './state.js';
import { startEvents, stopEvents } from './socket.js';
import { showSignIn } from './signin.js';
import { take, cancel, setTakeMode } from './routing.js';
import { renderHeader, loadSites } from './view-header.js';
import { renderOutputs } from './view-outputs.js';
import { renderPanel } from './view-panel.js';
import { renderSources } from './view-sources.js';
import { renderGrid, showOutputInGrid } from './view-grid.js';
import { renderSalvos } from './view-salvos.js';
import { renderPresets } from './view-presets.js';

const panel = $('panel'), work = $('work'), loading = $('loading');
const takeMode = $('take-mode'), takeBtn = $('take'), cancelBtn = $('cancel'), find = $('find');
const levels = document.querySelectorAll('button[data-level]');
let passwordRequired = false;

onUpdate(renderHeader);
onUpdate((m) => {
  show(loading, !m.loaded);
  show(work, m.loaded);
  if (!m.loaded) return;
  setAttr($('view-buttons'), 'aria-pressed', String(m.view === 'buttons'));
  setAttr($('view-grid'), 'aria-pressed', String(m.view === 'grid'));
  show($('buttons-view'), m.view === 'buttons');
  show($('grid-view'), m.view === 'grid');
  // What is shown while either link is down is the last known state, not the switcher's.
  work.classList.toggle('stale', !live(m));
  takeMode.checked = m.takeMode;
  document.body.classList.toggle('taking', m.takeMode);
  takeBtn.disabled = m.pending.size === 0 || !live(m);
  cancelBtn.disabled = m.pending.size === 0;
  for (const b of levels) setAttr(b, 'aria-pressed', String(b.dataset.level === m.level));
  $('pending-count').textContent = m.pending.size ? `${m.pending.size} pending` : '';
});
for (const fn of [renderOutputs, renderPanel, renderSources, renderGrid, renderSalvos, renderPresets]) {
  onUpdate((m) => { if (m.loaded) fn(m); });
}

function setView(v) {
  model.view = v;
  history.replaceState(null, '', v === 'grid' ? '#grid' : location.pathname + location.search);
  update();
}
$('view-buttons').addEventListener('click', () => setView('buttons'));
$('view-grid').addEventListener('click', () => setView('grid'));
takeMode.addEventListener('change', () => setTakeMode(takeMode.checked));
takeBtn.addEventListener('click', take);
for (const b of levels) b.addEventListener('click', () => { model.level = b.dataset.level; update(); });

find.addEventListener('input', () => {
  model.query = find.value;
  update();
});
// Enter in the search selects the only output it leaves.
find.addEventListener('keydown', (e) => {
  if (e.key !== 'Enter') return;
  const hits = document.querySelectorAll('button.output:not([hidden])');
  if (hits.length === 1) { hits[0].click(); showOutputInGrid(Number(hits[0].dataset.n)); }
});
// "/" goes to the search from anywhere but a text field.
document.addEventListener('keydown', (e) => {
  if (e.key !== '/' || e.ctrlKey || e.metaKey || e.altKey || e.target.closest('input, textarea, select')) return;
  e.preventDefault();
  find.focus();
  find.select();
});
cancelBtn.addEventListener('click', cancel);

// Escape drops the selection; focus goes back to the output it left.
document.addEventListener('keydown', (e) => {
  if (e.key !== 'Escape' || e.defaultPrevented || model.selected == null) return;
  const n = model.selected;
  const inside = document.activeElement?.closest('#output-panel, #sources');
  model.selected = null;
  update();
  if (inside) document.querySelector(`button.output[data-n="${n}"], button.row-head[data-n="${n}"]`)?.focus();
});

$('sign-out').addEventListener('click', async () => {
  await call('DELETE', '/api/v1/session');
  signedOut();
});

// Without a password a session is had for the asking. The page takes one before its socket
// opens: the socket then shows this page's locks as its own.
async function takeSession(data) {
  if (!data.passwordRequired && !data.signedIn) await call('POST', '/api/v1/session');
}

// Answers whether the socket should try again; false once the sign-in form is up.
async function sessionHolds() {
  const r = await call('GET', '/api/v1/session');
  if (!r.ok || !r.data) return true;
  if (r.data.passwordRequired && !r.data.signedIn) { signedOut(); return false; }
  await takeSession(r.data);
  return true;
}

let leaving = false;
function signedOut() {
  if (leaving) return;
  leaving = true;
  stopEvents();
  model.connected = model.loaded = false;
  update();
  boot().finally(() => { leaving = false; });
}
onSignedOut(signedOut);

function run() {
  panel.hidden = false;
  $('sign-out').hidden = !passwordRequired;
  loadSites();
  startEvents({
    state(s) { model.connected = true; loadState(s); },
    change(c) { if (model.loaded) applyChange(c); },
    down() { model.connected = false; update(); },
    check: sessionHolds,
  });
}

let bootPause = 500;
async function boot() {
  const r = await call('GET', '/api/v1/session');
  if (!r.ok || !r.data) {
    panel.hidden = false;
    loading.textContent = `${r.error}; trying again…`;
    setTimeout(boot, bootPause);
    bootPause = Math.min(bootPause * 2, 5000);
    return;
  }
  bootPause = 500;
  loading.textContent = 'Connecting to matrixd…';
  passwordRequired = !!r.data.passwordRequired;
  if (passwordRequired && !r.data.signedIn) showSignIn(run);
  else takeSession(r.data).then(run);
}

if (location.hash === '#grid') model.view = 'grid';
boot();
