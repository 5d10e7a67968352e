// Salvos: take or delete the saved ones, save the current routes as a new one.
import { $, h, setText, setAttr, show } from './dom.js';
import { call, path } from './api.js';
import { say } from './message.js';
import { model } from './state.js';

const list = $('salvo-list'), empty = $('salvo-empty'), form = $('salvo-form'),
  nameField = $('salvo-name'), picks = $('salvo-outputs');
const items = new Map();     // salvo name -> {li, count}
const chosen = new Map();    // output -> checked; outputs seen later start checked
let builtPicks = '';

list.addEventListener('click', async (e) => {
  const b = e.target.closest('button');
  const name = b?.closest('li.salvo')?.dataset.name;
  if (name == null) return;
  if (b.classList.contains('salvo-take')) {
    const r = await call('POST', `${path.salvo(name)}/take`);
    say(r.ok ? `Salvo ${name} sent` : r.error, r.ok ? 'info' : 'error');
  } else if (b.classList.contains('salvo-delete')) {
    if (!confirm(`Delete salvo ${name}?`)) return;
    const r = await call('DELETE', path.salvo(name));
    if (!r.ok) say(r.error);
  }
});

picks.addEventListener('change', (e) => {
  if (e.target.matches('input.salvo-output')) chosen.set(Number(e.target.dataset.n), e.target.checked);
});
$('salvo-all').addEventListener('click', () => checkAll(true));
$('salvo-none').addEventListener('click', () => checkAll(false));

function checkAll(on) {
  for (const c of picks.querySelectorAll('input.salvo-output')) {
    c.checked = on;
    chosen.set(Number(c.dataset.n), on);
  }
}

form.addEventListener('submit', async (e) => {
  e.preventDefault();
  const name = nameField.value.trim();
  // "." and ".." would be folded away by URL path rules before reaching matrixd.
  if (!name || [...name].length > 40 || name === '.' || name === '..' ||
      /[\u0000-\u001f\u007f/]/.test(name)) {
    say('A salvo name is 1 to 40 characters, without "/"; "." and ".." are not names');
    nameField.focus();
    return;
  }
  const routes = [];
  for (const o of model.outputs.values()) {
    if (chosen.get(o.n) !== false && o.input != null) routes.push({ output: o.n, input: o.input });
  }
  if (!routes.length) { say('No known routes among the chosen outputs'); return; }
  const replacing = model.salvos.some((s) => s.name === name);
  const r = await call('PUT', path.salvo(name), { routes });
  if (!r.ok) { say(r.error); return; }
  nameField.value = '';
  say(`Salvo ${name} ${replacing ? 'replaced' : 'saved'}`, 'info');
});

export function renderSalvos(m) {
  const order = m.salvos.map((s) => {
    let it = items.get(s.name);
    if (!it) items.set(s.name, it = make(s.name));
    const n = s.routes?.length ?? 0;
    setText(it.count, n === 1 ? '1 route' : `${n} routes`);
    setAttr(it.li, 'title', (s.routes || []).map((r) => `Output ${r.output} ← Input ${r.input}`).join('\n'));
    return it.li;
  });
  const names = new Set(m.salvos.map((s) => s.name));
  for (const n of items.keys()) if (!names.has(n)) items.delete(n);
  // Reorder only when needed: moving a node takes focus away from it.
  if (order.length !== list.children.length || order.some((li, k) => list.children[k] !== li)) {
    list.replaceChildren(...order);
  }
  show(empty, !order.length);
  renderPicks(m);
}

function make(name) {
  const count = h('span', { class: 'dim' });
  const li = h('li', { class: 'salvo', 'data-name': name },
    h('span', { class: 'salvo-name' }, name), count,
    h('button', { type: 'button', class: 'salvo-take', 'aria-label': `Take salvo ${name}` }, 'Take'),
    h('button', { type: 'button', class: 'salvo-delete quiet', 'aria-label': `Delete salvo ${name}` }, 'Delete'));
  return { li, count };
}

function renderPicks(m) {
  const key = [...m.outputs.keys()].join();
  if (key !== builtPicks) {
    builtPicks = key;
    picks.replaceChildren(...[...m.outputs.keys()].map((n) => h('label', { class: 'check' },
      h('input', { type: 'checkbox', class: 'salvo-output', 'data-n': n, checked: chosen.get(n) !== false }),
      h('span'))));
  }
  for (const lab of picks.children) {
    const n = Number(lab.firstChild.dataset.n);
    setText(lab.lastChild, `${n} ${m.outputs.get(n).label}`);
  }
}
