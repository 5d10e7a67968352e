// The status line: one short message at a time, gone after a few seconds.
const line = document.getElementById('message');
let timer = 0;

export function say(text, kind = 'error') {
  line.textContent = text;
  line.dataset.kind = kind;
  clearTimeout(timer);
  timer = setTimeout(() => { line.textContent = ''; }, kind === 'error' ? 7000 : 4000);
}
