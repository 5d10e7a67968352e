// Small DOM helpers. The views patch what they built instead of rebuilding it, so focus
// and scroll positions survive the stream of changes from the switcher.
export const $ = (id) => document.getElementById(id);

export function h(tag, attrs = {}, ...kids) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v == null || v === false) continue;
    if (k === 'class') el.className = v;
    else el.setAttribute(k, v === true ? '' : String(v));
  }
  el.append(...kids);
  return el;
}

export function setText(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

// null or false removes the attribute.
export function setAttr(el, name, value) {
  if (value == null || value === false) {
    if (el.hasAttribute(name)) el.removeAttribute(name);
    return;
  }
  const s = value === true ? '' : String(value);
  if (el.getAttribute(name) !== s) el.setAttribute(name, s);
}

export function show(el, visible) {
  if (el.hidden === visible) el.hidden = !visible;
}
