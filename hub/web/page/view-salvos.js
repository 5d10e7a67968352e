// Salvos: take the saved ones; open one in place to see its routes, rename it, give it the
// current routes of its outputs or delete it; save the current routes as a new one.
import { $, h, setText, setAttr, show } from './dom.js';
import { call, path } from './api.js';
import { say } from './message.js';
import { model, inputLabel, repaintingAll } from './state.js';

const list = $('salvo-list'), empty = $('salvo-empty'), form = $('salvo-form'),
  nameField = $('salvo-name'), picks = $('salvo-outputs'), pickBox = $('salvo-pick'), save = $('salvo-save');
const items = new Map();     // salvo name -> {li, count, routes, toggle, more}
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
  } else if (b.classList.contains('salvo-toggle')) {
    const it = items.get(name);
    const open = b.getAttribute('aria-expanded') !== 'true';
    setAttr(b, 'aria-expanded', String(open));
    show(it.more, open);
  } else if (b.classList.contains('salvo-refresh')) {
    refresh(name);
  } else if (b.classList.contains('salvo-rename')) {
    rename(name, items.get(name).newName);
  }
});

list.addEventListener('keydown', (e) => {
  if (e.key === 'Enter' && e.target.matches('input.salvo-new-name')) {
    e.preventDefault();
    const name = e.target.closest('li.salvo').dataset.name;
    rename(name, e.target);
  }
});

const salvoOf = (name) => model.salvos.find((s) => s.name === name);

// The switcher's present routes of the given outputs; an output whose sound comes from
// another input than its picture keeps both.
function currentRoutes(outputs) {
  const routes = [];
  for (const n of outputs) {
    const o = model.outputs.get(n);
    if (!o || o.input == null) continue;
    if (o.audio != null && o.audio !== o.input) {
      routes.push({ output: n, input: o.input, level: 'video' }, { output: n, input: o.audio, level: 'audio' });
    } else {
      routes.push({ output: n, input: o.input });
    }
  }
  return routes;
}

async function refresh(name) {
  const s = salvoOf(name);
  if (!s) return;
  const routes = currentRoutes(new Set(s.routes.map((r) => r.output)));
  if (!routes.length) { say('No known routes among its outputs'); return; }
  const r = await call('PUT', path.salvo(name), { routes });
  say(r.ok ? `Salvo ${name} now holds the current routes of its outputs` : r.error, r.ok ? 'info' : 'error');
}

async function rename(name, field) {
  const s = salvoOf(name);
  const to = field.value.trim();
  if (!s || to === name) return;
  if (!validName(to)) { badName(field); return; }
  if (salvoOf(to)) { say(`There is a salvo ${to} already`); field.focus(); return; }
  const made = await call('PUT', path.salvo(to), { routes: s.routes });
  if (!made.ok) { say(made.error); return; }
  const gone = await call('DELETE', path.salvo(name));
  say(gone.ok ? `Salvo ${name} is now ${to}` : gone.error, gone.ok ? 'info' : 'error');
}

// "." and ".." would be folded away by URL path rules before reaching matrixd.
const validName = (name) => name && [...name].length <= 40 && name !== '.' && name !== '..'
  && !/[\u0000-\u001f\u007f/]/.test(name);

function badName(field) {
  say('A salvo name is 1 to 40 characters, without "/"; "." and ".." are not names');
  field.focus();
}

picks.addEventListener('change', (e) => {
  if (e.target.matches('input.salvo-output')) chosen.set(Number(e.target.dataset.n), e.target.checked);
  renderSaveButton();
});
pickBox.addEventListener('toggle', () => { renderPicks(model); renderSaveButton(); });
$('salvo-all').addEventListener('click', () => checkAll(true));
$('salvo-none').addEventListener('click', () => checkAll(false));

function checkAll(on) {
  for (const c of picks.querySelectorAll('input.salvo-output')) {
    c.checked = on;
    chosen.set(Number(c.dataset.n), on);
  }
  renderSaveButton();
}

// The ticks count only while their list is open: a closed list saves every output.
const savedOutputs = () => [...model.outputs.keys()].filter((n) => !pickBox.open || chosen.get(n) !== false);

function renderSaveButton() {
  const n = savedOutputs().length;
  setText(save, !pickBox.open ? 'Save current routes' : n === 1 ? 'Save 1 output' : `Save ${n} outputs`);
}

form.addEventListener('submit', async (e) => {
  e.preventDefault();
  const name = nameField.value.trim();
  if (!validName(name)) { badName(nameField); return; }
  const routes = currentRoutes(savedOutputs());
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
    if (it.shown !== s || repaintingAll()) {
      it.shown = s;
      it.routes.replaceChildren(...(s.routes || []).map((r) => h('li', {}, routeText(r))));
    }
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
  renderSaveButton();
}

function routeText(r) {
  const o = model.outputs.get(r.output);
  const level = r.level && r.level !== 'av' ? ` (${r.level} only)` : '';
  return `Output ${r.output}${o && o.label !== `Output ${r.output}` ? ` ${o.label}` : ''} ← ${r.input} ${inputLabel(r.input)}${level}`;
}

function make(name) {
  const count = h('span');
  const routes = h('ul', { class: 'salvo-routes' });
  const newName = h('input', { type: 'text', class: 'salvo-new-name', maxlength: 40, value: name,
    autocomplete: 'off', spellcheck: 'false', 'aria-label': `New name for salvo ${name}` });
  const more = h('div', { class: 'salvo-more', hidden: true }, routes,
    h('div', { class: 'row' }, newName,
      h('button', { type: 'button', class: 'salvo-rename' }, 'Rename', h('span', { class: 'sr' }, ` salvo ${name}`))),
    h('div', { class: 'row' },
      h('button', { type: 'button', class: 'salvo-refresh quiet' },
        'Replace with current routes', h('span', { class: 'sr' }, ` of its outputs, salvo ${name}`)),
      h('button', { type: 'button', class: 'salvo-delete quiet' }, 'Delete', h('span', { class: 'sr' }, ` salvo ${name}`))));
  const li = h('li', { class: 'salvo', 'data-name': name },
    h('div', { class: 'salvo-line' },
      h('span', { class: 'salvo-name' }, name),
      h('button', { type: 'button', class: 'salvo-toggle quiet', 'aria-expanded': 'false' }, count,
        h('span', { class: 'sr' }, ` in salvo ${name}`)),
      h('button', { type: 'button', class: 'salvo-take' }, 'Take', h('span', { class: 'sr' }, ` salvo ${name}`))),
    more);
  return { li, count, routes, more, newName, shown: null };
}

// The output ticks are made when their list is first opened: 1,024 of them cost the first load.
function renderPicks(m) {
  if (!pickBox.open) return;
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
