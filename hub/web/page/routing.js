// Routing: at once, or staged while Take mode is on and sent together by Take.
import { call } from './api.js';
import { say } from './message.js';
import { model, live, update } from './state.js';

export function select(n) {
  if (model.selected === n) return;
  model.selected = n;
  update();
}

export async function pick(output, input) {
  const o = model.outputs.get(output);
  if (!o) return;
  if (o.lock === 'other') {
    say(`Output ${output} is locked by another controller`);
    return;
  }
  if (!live()) {
    say(model.connected ? 'Switcher not answering' : 'matrixd is not reachable');
    return;
  }
  if (model.takeMode) {
    // Tapping the staged source again, or the one already routed, unstages it.
    if (model.pending.get(output) === input || o.input === input) model.pending.delete(output);
    else model.pending.set(output, input);
    update();
    return;
  }
  const r = await call('POST', '/api/v1/routes', { routes: [route(output, input)] });
  if (!r.ok) say(r.error);
}

// A route switches what the level picker says.
const route = (output, input) => ({ output, input, level: model.level });

export async function take() {
  const routes = [...model.pending].map(([output, input]) => route(output, input));
  if (!routes.length) return;
  const r = await call('POST', '/api/v1/routes', { routes });
  if (!r.ok) { say(r.error); return; }
  for (const { output, input } of routes) {
    if (model.pending.get(output) === input) model.pending.delete(output);
  }
  say(routes.length === 1 ? '1 route sent' : `${routes.length} routes sent`, 'info');
  update();
}

export function cancel() {
  model.pending.clear();
  update();
}

export function setTakeMode(on) {
  model.takeMode = on;
  if (!on && model.pending.size) {
    model.pending.clear();
    say('Pending routes discarded', 'info');
  }
  update();
}
