// A group of tiles is one stop in the tab order: arrow keys move within it, Up and Down by
// a row of the tiles as laid out, Home and End to either end.
export function roving(box, selector) {
  box.addEventListener('keydown', (e) => {
    const from = e.target.closest(selector);
    if (!from || !['ArrowLeft', 'ArrowRight', 'ArrowUp', 'ArrowDown', 'Home', 'End'].includes(e.key)) return;
    const tiles = [...box.querySelectorAll(selector)].filter((t) => !t.hidden && !t.disabled);
    const at = tiles.indexOf(from);
    const to = e.key === 'Home' ? tiles[0] : e.key === 'End' ? tiles[tiles.length - 1]
      : e.key === 'ArrowLeft' ? tiles[at - 1] : e.key === 'ArrowRight' ? tiles[at + 1]
      : below(tiles, at, e.key === 'ArrowDown' ? 1 : -1);
    e.preventDefault();
    if (to) { stopAt(box, selector, to); to.focus(); }
  });
  box.addEventListener('focusin', (e) => {
    const t = e.target.closest(selector);
    if (t) stopAt(box, selector, t);
  });
}

// The tile in the next row up or down nearest to the same column.
function below(tiles, at, dir) {
  const here = tiles[at].getBoundingClientRect();
  let best = null, gap = Infinity;
  for (let k = at + dir; k >= 0 && k < tiles.length; k += dir) {
    const r = tiles[k].getBoundingClientRect();
    if (dir > 0 ? r.top <= here.top + 1 : r.top >= here.top - 1) continue;
    if (best && Math.abs(r.top - best.top) > 1) break;
    const d = Math.abs(r.left - here.left);
    if (d < gap) { gap = d; best = { tile: tiles[k], top: r.top }; }
  }
  return best?.tile;
}

// Makes `tile` the group's one tab stop.
export function stopAt(box, selector, tile) {
  for (const t of box.querySelectorAll(`${selector}[tabindex="0"]`)) if (t !== tile) t.tabIndex = -1;
  if (tile && tile.tabIndex !== 0) tile.tabIndex = 0;
}

// Keeps one tab stop in the group: the current one while usable, else `preferred`, else the first.
export function keepStop(box, selector, preferred) {
  const current = box.querySelector(`${selector}[tabindex="0"]`);
  if (current && !current.hidden && !current.disabled) return;
  const tiles = [...box.querySelectorAll(selector)].filter((t) => !t.hidden && !t.disabled);
  stopAt(box, selector, (preferred && tiles.includes(preferred)) ? preferred : tiles[0]);
}
