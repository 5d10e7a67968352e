// Calls to matrixd's JSON API. A refusal comes back as {ok: false, status, error} with a
// text fit for the operator, so callers only decide where to show it.
let signedOut = () => {};
export function onSignedOut(fn) { signedOut = fn; }

const plain = {
  400: 'The request was refused as malformed',
  403: 'Refused: this request did not come from the panel',
  404: 'Not found',
  409: 'Another controller changed something meanwhile — try again',
  413: 'Too much at once',
  423: 'Locked by another controller',
  429: 'Still busy with earlier commands — try again in a moment',
  503: 'Switcher not answering',
};

export async function call(method, path, body) {
  const init = { method, cache: 'no-store', headers: {} };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(path, init);
  } catch {
    return { ok: false, status: 0, error: 'matrixd is not reachable' };
  }
  let data = null;
  if (res.status !== 204) {
    try { data = await res.json(); } catch { /* no body */ }
  }
  if (res.ok) return { ok: true, status: res.status, data };
  // A 401 on the sign-in itself is a wrong password, anywhere else the session is gone.
  if (res.status === 401 && path !== '/api/v1/session') signedOut();
  const error = (data && typeof data.error === 'string' && data.error)
    || plain[res.status] || `Refused (HTTP ${res.status})`;
  return { ok: false, status: res.status, error, retryAfter: res.headers.get('Retry-After') };
}

export const path = {
  salvo: (name) => `/api/v1/salvos/${encodeURIComponent(name)}`,
  outputLabel: (n) => `/api/v1/outputs/${n}/label`,
  inputLabel: (n) => `/api/v1/inputs/${n}/label`,
};
