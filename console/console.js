// The ZEV console: starts the page (the token, the map, the tree), follows the address
// (#/REGISTER/SIGNAL), wires the device actions in the header, the panels on the right and
// reading every few seconds. Served by zevd; the same files show the static register
// reference when reference.js carries the map.
'use strict';

(function (Z) {
  const { el, $ } = Z;
  let autoTimer = null;
  let reading = false;

  // ---- the address: #/REGISTER or #/REGISTER/SIGNAL ----
  function route() {
    if (/^#token=/.test(location.hash)) {
      // A new address with a token in this tab: a new token means a new start.
      const before = Z.token;
      if (window.zevTakeToken() !== before) { location.reload(); return; }
    }
    const parts = location.hash.replace(/^#\/?/, '').split('/').filter(Boolean).map(decodeURIComponent);
    if (parts.length === 0) return;
    const register = Z.byName.get(parts[0]);
    if (!register) {
      Z.current = null;
      Z.markCurrent(null);
      $('view').replaceChildren(el('h2', { text: 'No such register' }),
        el('p', { className: 'message error', role: 'alert', text: `This device has no register named "${parts[0]}".` }),
        el('p', { className: 'note', text: 'Search for it on the left: names, addresses (0E00), signals and enumerators are found.' }));
      Z.notify('error', `No register named "${parts[0]}"`);
      return;
    }
    Z.openRegister(register, parts[1] || null);
  }

  // ---- device actions ----
  async function deviceAction(path, body, done, message) {
    const answer = await Z.call('POST', path, body);
    const verdict = Z.judge(Object.assign({ status: answer.status }, answer.body), done);
    Z.notify(verdict.kind, `${message}: ${verdict.text}`);
    if (Z.current) await Z.refresh();
  }

  async function downloadSnapshot() {
    const answer = await Z.call('GET', 'snapshot');
    if (answer.status !== 200) { Z.failed('Snapshot', answer); return; }
    Z.download('ZEV_DUMP.m', answer.body.snapshot);
    Z.notify('ok', 'snapshot downloaded as ZEV_DUMP.m');
  }

  // Reading every N seconds updates the view in place: an editor with focus keeps its text.
  function setAuto() {
    clearInterval(autoTimer);
    autoTimer = null;
    const seconds = Math.max(1, Number($('auto-seconds').value) || 2);
    if ($('auto').checked) {
      autoTimer = setInterval(async () => {
        if (!Z.current || reading) return;
        reading = true;
        try { await Z.refresh(); } finally { reading = false; }
      }, seconds * 1000);
    }
  }

  // The panels on the right: Live, History, Set (a tab list).
  Z.showTab = function (name) {
    for (const tab of document.querySelectorAll('[role=tab]')) {
      const selected = tab.dataset.tab === name;
      tab.setAttribute('aria-selected', String(selected));
      tab.tabIndex = selected ? 0 : -1;
      $(tab.getAttribute('aria-controls')).hidden = !selected;
    }
  };
  function wireTabs() {
    const tabs = [...document.querySelectorAll('[role=tab]')];
    for (const tab of tabs) {
      tab.addEventListener('click', () => Z.showTab(tab.dataset.tab));
      tab.addEventListener('keydown', (event) => {
        const step = { ArrowRight: 1, ArrowLeft: -1 }[event.key];
        if (!step) return;
        const next = tabs[(tabs.indexOf(tab) + step + tabs.length) % tabs.length];
        Z.showTab(next.dataset.tab);
        next.focus();
      });
    }
  }

  function wire() {
    Z.wireTree();
    window.addEventListener('hashchange', route);
    if (Z.reference) return;
    $('defaults').addEventListener('click', () => deviceAction('defaults', {}, 'done', 'SetToDefault'));
    $('lock-all').addEventListener('click', () => deviceAction('lock', { register: 'ALL', signal: 'ALL' }, 'all locked', 'Lock all'));
    $('unlock-all').addEventListener('click', () => deviceAction('unlock', { register: 'ALL', signal: 'ALL' }, 'all unlocked', 'Unlock all'));
    $('snapshot').addEventListener('click', downloadSnapshot);
    $('radix').addEventListener('change', () => { if (Z.current) Z.showValues(); Z.showHistory(); Z.redrawSets(); });
    $('auto').addEventListener('change', setAuto);
    $('auto-seconds').addEventListener('change', setAuto);
    $('login').addEventListener('submit', (event) => {
      event.preventDefault();
      sessionStorage.setItem('zevToken', $('token').value.trim());
      location.reload();
    });
    wireTabs();
    Z.wireLive();
    Z.wireSets();
  }

  function ready() {
    Z.buildTree();
    route();
    requestAnimationFrame(() => {
      Z.timings.ready = performance.now();
      document.body.dataset.ready = 'true';
    });
  }

  async function start() {
    wire();
    if (Z.reference) {
      document.body.classList.add('reference');
      Z.map = Z.reference;
      $('title').textContent = 'ZEV register reference';
      $('identity').textContent = `${Z.map.device.xmlVersion}, generator ${Z.map.device.generatorVersion}`;
      ready();
      return;
    }
    const early = window.ZEV_EARLY;
    Z.token = early ? early.token : window.zevTakeToken();
    if (!Z.token) { Z.showLogin('This page needs the token zevd printed with its address (or the contents of the token file).'); return; }
    const [device, mapAnswer] = await Promise.all([Z.call('GET', 'device', undefined, early && early.device),
      Z.call('GET', 'map', undefined, early && early.map)]);
    if (device.status !== 200 || mapAnswer.status !== 200) {
      if (device.status !== 401 && mapAnswer.status !== 401) {
        const failed = device.status !== 200 ? device : mapAnswer;
        $('view').replaceChildren(el('p', { className: 'message error', role: 'alert',
          text: `The register map could not be loaded: ${failed.body.error || 'HTTP ' + failed.status}. Reload the page when zevd runs.` }));
      }
      return;
    }
    Z.map = mapAnswer.body;
    Z.readOnly = !!device.body.readOnly;
    Z.limits = device.body.limits;
    $('identity').textContent = `${device.body.name}: ${device.body.xmlVersion}, generator ${device.body.generatorVersion}`;
    $('actions').hidden = false;
    $('live').hidden = false;
    if (Z.readOnly) {
      document.body.classList.add('read-only');
      $('readonly').hidden = false;
      $('readonly').textContent = 'Read-only server (--read-only): writing, locking, unlocking, applying sets and ' +
        'SetToDefault are refused, so those controls are disabled.';
      for (const id of ['defaults', 'lock-all', 'unlock-all']) {
        $(id).disabled = true;
        $(id).title = 'read-only server';
      }
    }
    ready();
    Z.follow();
  }

  start();
})(window.ZEV);
