// Header: switcher name, connection and presence, the absent banner, other switchers.
import { $, h, setText, setAttr, show } from './dom.js';
import { call } from './api.js';

const title = $('title'), link = $('link-state'), linkText = $('link-text'),
  again = $('reconnecting'), banner = $('absent-banner'), sites = $('sites'),
  sitesGroup = $('sites-group'), go = $('sites-go');

// The toolbar pins itself below the banner, which pins itself to the top; the sources
// column below both.
const toolbar = $('toolbar');
const heights = new ResizeObserver(() => {
  document.documentElement.style.setProperty('--banner-h', `${banner.offsetHeight}px`);
  document.documentElement.style.setProperty('--toolbar-h', `${toolbar.offsetHeight}px`);
});
heights.observe(banner);
heights.observe(toolbar);

export function renderHeader(m) {
  const name = m.name || 'matrixd';
  setText(title, name);
  if (document.title !== name) document.title = name;

  const state = !m.connected ? 'down' : m.present ? 'ok' : 'absent';
  setAttr(link, 'data-state', state);
  setText(linkText, { down: 'Offline', ok: 'Online', absent: 'Switcher absent' }[state]);
  setAttr(link, 'title', m.link ? `Switcher link: ${m.link}` : null);

  show(again, m.loaded && !m.connected);
  const why = !m.loaded ? ''
    : !m.connected ? 'matrixd not reachable — the routes shown are the last known, not live; reconnecting…'
    : !m.present ? 'Switcher not answering — routes are refused until it is back' + (m.link ? ` (${m.link})` : '')
    : '';
  show(banner, !!why);
  if (why) setText(banner, why);
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
    ...list.map((s) => h('option', { value: s.url }, siteText(s))),
  );
  sitesGroup.hidden = list.length === 0;
  go.disabled = true;
}

// A switcher's name and where it is: two on one machine differ by their port.
function siteText(s) {
  const url = new URL(s.url, location.href);
  const where = url.host;
  const state = s.answers === false ? ' — not answering' : '';
  return (s.name && s.name !== where ? `${s.name} (${where})` : where) + state;
}

// Choosing only chooses; Open goes there.
sites.addEventListener('change', () => { go.disabled = !sites.value; });
go.addEventListener('click', () => { if (sites.value) location.assign(sites.value); });
