// Header: switcher name, connection and presence, the absent banner, other switchers.
import { $, h, setText, setAttr, show } from './dom.js';
import { call } from './api.js';

const title = $('title'), link = $('link-state'), linkText = $('link-text'),
  again = $('reconnecting'), banner = $('absent-banner'), sites = $('sites');

export function renderHeader(m) {
  const name = m.name || 'matrixd';
  setText(title, name);
  if (document.title !== name) document.title = name;

  const state = !m.connected ? 'down' : m.present ? 'ok' : 'absent';
  setAttr(link, 'data-state', state);
  setText(linkText, { down: 'Offline', ok: 'Online', absent: 'Switcher absent' }[state]);
  setAttr(link, 'title', m.link ? `Switcher link: ${m.link}` : null);

  show(again, m.loaded && !m.connected);
  const absent = m.loaded && !m.present;
  show(banner, absent);
  if (absent) {
    setText(banner, 'Switcher not answering — routes are refused until it is back'
      + (m.link ? ` (${m.link})` : ''));
  }
}

// Sites come from configuration and from the network; only web addresses become links.
export async function loadSites() {
  const r = await call('GET', '/api/v1/sites');
  const list = (r.ok && Array.isArray(r.data) ? r.data : []).filter((s) => {
    try { return ['http:', 'https:'].includes(new URL(s.url, location.href).protocol); }
    catch { return false; }
  });
  sites.replaceChildren(
    h('option', { value: '', selected: true, disabled: true }, 'Other switchers…'),
    ...list.map((s) => h('option', { value: s.url }, s.name || s.url)),
  );
  sites.hidden = list.length === 0;
}

sites.addEventListener('change', () => {
  if (sites.value) location.assign(sites.value);
});
