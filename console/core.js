// The console's shared state and helpers: building elements, numbers in the chosen radix,
// calls to the device service, the connection indicator and the messages every failed call
// leaves. The other files add their parts to the same ZEV object.
'use strict';

window.ZEV = (function () {
  const Z = {
    API: '/api/v1/',
    reference: window.ZEV_REFERENCE || null,
    timings: (window.zevTimings = { scripts: performance.now(), ready: null, filter: [], open: [], page: [] }),
    map: null,              // {device, registers}
    byName: new Map(),      // register name -> map entry
    token: null,
    readOnly: false,
    current: null,          // the open register: see register.js
    diffs: null,            // a loaded set or the defaults held against the device: see sets.js
  };
  const $ = (Z.$ = (id) => document.getElementById(id));

  Z.el = function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (key === 'text') node.textContent = value;
      else if (key === 'className') node.className = value;
      else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else node.setAttribute(key, value === true ? '' : value);
    }
    for (const child of children) if (child !== null && child !== undefined && child !== false) node.append(child);
    return node;
  };

  Z.hex = (value, digits) => (value >>> 0).toString(16).toUpperCase().padStart(digits || 1, '0');
  Z.isMemory = (register) => register.words > 1;
  Z.writeOnly = (register) => !register.readable;
  Z.readOnlyRegister = (register) => !register.writable;
  Z.time = (date) => {
    const d = date || new Date();
    const two = (n) => String(n).padStart(2, '0');
    return `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}.${String(d.getMilliseconds()).padStart(3, '0')}`;
  };

  // ---- numbers in the radix the header chooses ----
  const RADIX = { dec: 10, hex: 16, bin: 2 };
  Z.radix = () => ($('radix') ? $('radix').value : 'dec');
  // A field's value as the chosen radix writes it: 0x1F, 0b11111 or 31.
  Z.number = function (value, width) {
    const radix = Z.radix();
    if (radix === 'hex') return '0x' + Z.hex(value, width ? Math.ceil(width / 4) : 1);
    if (radix === 'bin') return '0b' + (value >>> 0).toString(2).padStart(width || 1, '0');
    return String(value >>> 0);
  };
  Z.radixRange = (max) => `0 to ${Z.number(max)}`;
  // A number typed in the chosen radix (0x, 0b and 0d prefixes and the library's /h and /d
  // suffixes override it); null if it is not one, or above the limit.
  Z.parseNumber = function (text, limit, radix) {
    let t = text.trim().replace(/_/g, '');
    let base = RADIX[radix || Z.radix()];
    const suffix = /^(.*)\/([dh])$/i.exec(t);
    if (suffix) { t = suffix[1]; base = suffix[2].toLowerCase() === 'h' ? 16 : 10; }
    const prefix = /^0([xbd])(.*)$/i.exec(t);
    if (prefix && !suffix) { t = prefix[2]; base = { x: 16, b: 2, d: 10 }[prefix[1].toLowerCase()]; }
    const digits = { 2: /^[01]+$/, 10: /^[0-9]+$/, 16: /^[0-9a-f]+$/i }[base];
    if (!digits.test(t)) return { error: `"${text.trim()}" is not a ${{ 2: 'binary', 10: 'decimal', 16: 'hexadecimal' }[base]} number` };
    const value = parseInt(t, base);
    if (!Number.isSafeInteger(value) || value > limit) {
      return { error: `${text.trim()} is above the maximum ${limit} (0x${Z.hex(limit)})` };
    }
    return { value };
  };

  // ---- messages: one region that lays over the page, so the layout never moves ----
  // Successes fade after a while; warnings and errors stay until closed.
  Z.notify = function (kind, text) {
    const box = $('toasts');
    if (!box) return;
    const close = Z.el('button', { type: 'button', className: 'close', 'aria-label': 'Close message', text: '×' });
    const toast = Z.el('div', { className: 'toast ' + kind, role: kind === 'ok' ? null : 'alert' },
      Z.el('span', { className: 'when', text: Z.time().slice(0, 8) }), Z.el('span', { className: 'text', text }), close);
    close.addEventListener('click', () => toast.remove());
    box.append(toast);
    while (box.childElementCount > 4) box.firstChild.remove();
    if (kind === 'ok') setTimeout(() => toast.remove(), 5000);
    return toast;
  };
  // A message beside the field or control it concerns: ok (green), warn (amber), error (red).
  Z.say = function (node, kind, text) {
    if (!node) return;
    node.textContent = text;
    node.className = 'message ' + (text ? kind : '');
  };

  // ---- the device service ----
  const reportLine = (Z.reportLine = (r) =>
    `${r.accessDenied ? 'refused: ' : ''}${r.file}:${r.line}: ${r.function}: ${r.message}`);
  // An answer (or one result of a batch) judged for the person: an error when refused or
  // not reached, a warning when done with reports (a refused direction is never a success).
  Z.judge = function (result, done) {
    const reports = result.reports || [];
    const lines = [];
    if (result.error) lines.push(result.error);
    for (const r of reports) lines.push(reportLine(r));
    if (result.status !== 200) return { kind: 'error', text: lines.join('\n') || 'HTTP ' + result.status };
    if (reports.some((r) => r.accessDenied)) {
      return { kind: 'warn', text: 'refused by the device:\n' + lines.join('\n') };
    }
    if (reports.length) return { kind: 'warn', text: done + ', with reports:\n' + lines.join('\n') };
    return { kind: 'ok', text: done };
  };

  // The connection as the last call found it: connected, unreachable or the token refused.
  Z.setConnection = function (state, detail) {
    const node = $('connection');
    if (!node || node.dataset.state === state) return;
    node.dataset.state = state;
    node.textContent = { connected: 'Connected', unreachable: 'Server unreachable', refused: 'Token refused' }[state];
    node.title = detail || '';
  };

  // One request; never throws. status 0: the server did not answer. A POST carries an id of
  // its own: when its answer is lost it goes out again under the same id, and the server
  // carries it out once. Every request names the server's run this page knows, so that a
  // restarted server (its values and locks gone) is told once, with nothing done.
  let requests = 0;
  const clientId = Array.from(crypto.getRandomValues(new Uint8Array(8)), (b) => b.toString(16).padStart(2, '0')).join('');
  // asked: the same request's answer when it was sent already (the page's first requests).
  Z.call = async function (method, path, body, asked) {
    const options = { method, headers: { Authorization: 'Bearer ' + Z.token } };
    if (Z.instance) options.headers['ZEV-Instance'] = Z.instance;
    if (body !== undefined) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    if (method === 'POST') options.headers['ZEV-Request-Id'] = `${clientId}-${++requests}`;
    let response;
    for (let attempt = 0; !response; attempt++) {
      try {
        response = await (attempt === 0 && asked ? asked : fetch(Z.API + path, options));
      } catch (e) {
        if (attempt < 2) {
          await new Promise((resolve) => setTimeout(resolve, 200));
          continue;
        }
        Z.setConnection('unreachable', e.message);
        const outcome = method === 'POST' ? ': the request may or may not have been carried out' : '';
        return { status: 0, body: { error: `The server did not answer (${e.message})${outcome}. Is zevd still running?` } };
      }
    }
    const instance = response.headers.get('ZEV-Instance');
    if (instance) Z.instance = instance;
    let parsed;
    try { parsed = await response.json(); } catch (e) { parsed = { error: 'HTTP ' + response.status }; }
    if (response.status === 401) {
      Z.setConnection('refused', parsed.error);
      Z.showLogin('The server refused the token: enter the one zevd printed.');
    } else {
      Z.setConnection('connected');
    }
    return { status: response.status, body: parsed };
  };

  // Operations in one batch; each result as {status, error, reports, ...}. A refused batch
  // (or no answer) gives every operation the batch's own status and error.
  Z.batch = async function (operations) {
    const answer = await Z.call('POST', 'batch', { operations });
    if (answer.status === 200 || (answer.status === 500 && answer.body.results)) return answer.body.results;
    return operations.map(() => ({ status: answer.status, error: answer.body.error, reports: answer.body.reports || [] }));
  };

  // A failed call shown where the person looks: a message that stays until closed.
  Z.failed = function (what, answer) {
    const verdict = Z.judge(Object.assign({ status: answer.status }, answer.body), what);
    Z.notify(verdict.kind === 'ok' ? 'ok' : verdict.kind, `${what}: ${verdict.text}`);
    return verdict;
  };

  Z.showLogin = function (why) {
    $('login').hidden = false;
    $('actions').hidden = true;
    $('live').hidden = true;
    $('login-why').textContent = why || '';
    $('token').focus();
  };

  Z.download = function (name, text, type) {
    const url = URL.createObjectURL(new Blob([text], { type: type || 'text/plain' }));
    const link = Z.el('a', { href: url, download: name, hidden: true });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  };

  return Z;
})();
