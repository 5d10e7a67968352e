// The events socket. Its first message is the whole state, then one per change. When it
// closes it is opened again after a pause growing from 0.5 s to 5 s; the server then sends
// the whole state again.
const FIRST = 500, LAST = 5000;
let ws = null, timer = 0, pause = FIRST, running = false, on = null;

// handlers: state(s), change(c), down(), check() -> Promise<bool: try again>
export function startEvents(handlers) {
  on = handlers;
  running = true;
  clearTimeout(timer);
  if (!ws) open();
}

export function stopEvents() {
  running = false;
  clearTimeout(timer);
  const s = ws;
  ws = null;
  if (s) s.close();
}

function open() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const s = new WebSocket(`${scheme}//${location.host}/api/v1/events`);
  ws = s;
  s.onmessage = (e) => {
    if (ws !== s) return;
    let m;
    try { m = JSON.parse(e.data); } catch { return; }
    if (m.type === 'state' && m.state) { pause = FIRST; on.state(m.state); }
    else if (m.type === 'change') on.change(m);
  };
  s.onclose = () => {
    if (ws !== s) return;
    ws = null;
    if (!running) return;
    on.down();
    timer = setTimeout(retry, pause);
    pause = Math.min(pause * 2, LAST);
  };
}

async function retry() {
  // A refused upgrade hides its HTTP status; ask whether the session still holds first.
  if (running && await on.check() && running && !ws) open();
}
