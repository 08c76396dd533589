// The ZEV console: the register map as a tree with a search box, the open register with its
// bit picture and signals, editors that go through the device service, memories by pages,
// device actions, automatic re-reading and the live event stream. Served by zevd; the same
// file shows the static register reference when reference.js carries the map.
'use strict';

(function () {
  const API = '/api/v1/';
  const MEMORY_PAGE = 64;    // words per memory page
  const LIVE_LINES = 500;    // events kept in the live panel
  const reference = window.ZEV_REFERENCE || null;
  const timings = window.zevTimings = { ready: null, filter: [] };
  const $ = (id) => document.getElementById(id);

  let map = null;            // {device, registers}
  const byName = new Map();  // register name -> map entry
  const treeLinks = new Map();  // register name -> its entry in the tree
  let token = null;
  let readOnly = false;
  let current = null;        // {register, word, locks, page}
  let autoTimer = null;
  let paused = false;

  // ---- small helpers ----
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (key === 'text') node.textContent = value;
      else if (key === 'className') node.className = value;
      else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else node.setAttribute(key, value === true ? '' : value);
    }
    for (const child of children) if (child !== null && child !== undefined) node.append(child);
    return node;
  }
  const hex = (value, digits) => value.toString(16).toUpperCase().padStart(digits || 1, '0');
  const blockOf = (name) => name.split('_')[0];
  const isMemory = (register) => register.words > 1;
  const hexMode = () => $('hex').checked;
  const number = (value) => hexMode() ? '0x' + hex(value) : String(value);

  // A report as the library gave it to the host's utility, verbatim.
  const reportLine = (r) => `${r.file}:${r.line}: ${r.function}: ${r.message}`;
  // What the service said, for the message next to the field it concerns.
  function outcome(answer) {
    const lines = [];
    if (answer.body.error) lines.push(answer.body.error);
    for (const r of answer.body.reports || []) lines.push(reportLine(r));
    return lines.join('\n');
  }
  function say(node, text, ok) {
    node.textContent = text;
    node.classList.toggle('ok', !!ok);
  }

  async function call(method, path, body) {
    const options = { method, headers: { Authorization: 'Bearer ' + token } };
    if (body !== undefined) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    const response = await fetch(API + path, options);
    let parsed = {};
    try { parsed = await response.json(); } catch (e) { parsed = { error: 'HTTP ' + response.status }; }
    if (response.status === 401) showLogin('The server refused the token.');
    return { status: response.status, body: parsed };
  }

  // ---- the token: from the address zevd printed, kept for this browser session ----
  function takeToken() {
    const match = /^#token=([^&]+)/.exec(location.hash);
    if (match) {
      sessionStorage.setItem('zevToken', decodeURIComponent(match[1]));
      history.replaceState(null, '', location.pathname + '#/');
    }
    return sessionStorage.getItem('zevToken');
  }
  function showLogin(why) {
    $('login').hidden = false;
    say($('device-message'), why || '');
    $('token').focus();
  }

  // ---- the tree ----
  // One link per register; the signals a search finds are listed beneath their register,
  // built only then, so that the page starts with a few hundred elements, not thousands.
  const SIGNAL_LIST_LIMIT = 400;

  function buildTree() {
    const tree = $('tree');
    const blocks = new Map();
    for (const register of map.registers) {
      const block = blockOf(register.name);
      if (!blocks.has(block)) blocks.set(block, []);
      blocks.get(block).push(register);
    }
    const fragment = document.createDocumentFragment();
    for (const [block, registers] of [...blocks].sort((a, b) => a[0].localeCompare(b[0]))) {
      const list = el('ul');
      const entries = [];
      for (const register of registers) {
        const link = el('a', { href: '#/' + register.name, text: register.name });
        const signalList = el('ul', { hidden: true });
        const item = el('li', {}, link, signalList);
        list.append(item);
        const entry = { register, item, link, signalList, key: register.name.toLowerCase(),
          signalKeys: register.signals.map((s) => s.name.toLowerCase()), listed: '' };
        entries.push(entry);
        treeLinks.set(register.name, entry);
      }
      const details = el('details', {}, el('summary', { text: `${block} (${registers.length})` }), list);
      fragment.append(details);
      blockEntries.push({ details, entries });
    }
    tree.replaceChildren(fragment);
    $('count').textContent = `${map.registers.length} registers`;
  }
  const blockEntries = [];

  // Registers whose name holds the text, and registers with a signal that does (those
  // signals listed beneath them while there are not too many); blocks open during a search.
  function filter(text) {
    const query = text.trim().toLowerCase();
    const hits = new Map();
    let signalHits = 0;
    if (query !== '') {
      for (const [name, entry] of treeLinks) {
        const found = entry.register.signals.filter((s, i) => entry.signalKeys[i].includes(query));
        if (found.length) { hits.set(name, found); signalHits += found.length; }
      }
    }
    const listSignals = query.length >= 2 && signalHits <= SIGNAL_LIST_LIMIT;
    let shown = 0;
    for (const { details, entries } of blockEntries) {
      let any = false;
      for (const entry of entries) {
        const found = hits.get(entry.register.name) || [];
        const visible = query === '' || found.length > 0 || entry.key.includes(query);
        if (entry.item.hidden === visible) entry.item.hidden = !visible;
        const listed = listSignals ? found.map((s) => s.name).join(',') : '';
        if (listed !== entry.listed) {
          entry.listed = listed;
          entry.signalList.replaceChildren(...(listed ? found : []).map((s) =>
            el('li', {}, el('a', { href: '#/' + entry.register.name + '/' + s.name, text: s.name }))));
          entry.signalList.hidden = listed === '';
        }
        if (visible) { any = true; shown++; }
      }
      details.hidden = !any;
      details.open = query !== '' && any;
    }
    $('count').textContent = query === '' ? `${map.registers.length} registers`
      : `${shown} of ${map.registers.length} registers, ${signalHits} signals` +
        (signalHits && !listSignals ? ' (type more to list them)' : '');
  }

  function visibleLinks() {
    return [...$('tree').querySelectorAll('a')].filter((a) => a.offsetParent !== null);
  }

  // ---- the open register ----
  function route() {
    const parts = location.hash.replace(/^#\/?/, '').split('/').filter(Boolean);
    if (parts.length === 0 || !byName.has(parts[0])) return;
    openRegister(byName.get(parts[0]), parts[1] || null);
  }

  async function openRegister(register, signalName) {
    for (const [, entry] of treeLinks) entry.link.removeAttribute('aria-current');
    const entry = treeLinks.get(register.name);
    entry.link.setAttribute('aria-current', 'page');
    const details = entry.item.closest('details');
    if (!details.open && $('search').value.trim() === '') details.open = true;
    const keepPage = current && current.register === register ? current.page : 0;
    current = { register, word: null, locks: null, page: keepPage, values: null, texts: null };
    await refresh();
    renderRegister(signalName);
  }

  // The device's view of the open register: each signal read through the library's text
  // service (a read of the whole register would hand the hardware's word to the application),
  // then the lock states and the hardware word as last read (no transfer); or one page of a
  // memory's words.
  async function refresh() {
    if (reference || !current) return;
    const register = current.register;
    let reads;
    if (isMemory(register)) {
      reads = [await call('POST', 'read', { register: register.name, start: current.page * MEMORY_PAGE,
        count: Math.min(MEMORY_PAGE, register.words - current.page * MEMORY_PAGE) })];
    } else {
      reads = await Promise.all(register.signals.map((signal) =>
        call('POST', 'read', { register: register.name, signal: signal.name })));
    }
    const described = await call('GET', 'registers/' + register.name);
    if (current.register !== register) return;
    current.locks = described.status === 200 ? described.body : null;
    const refused = reads.filter((r) => r.status !== 200);
    current.readOutcome = [...new Set(refused.map(outcome))].join('\n');
    const reports = new Set();
    for (const r of reads) for (const report of r.body.reports || []) reports.add(reportLine(report));
    current.reports = [...reports];
    if (isMemory(register)) {
      current.values = refused.length ? null : reads[0].body.values.map((text) => parseInt(text, 16) >>> 0);
    } else {
      current.texts = new Map(register.signals.map((signal, i) =>
        [signal.name, reads[i].status === 200 ? reads[i].body.values[0] : null]));
      current.word = current.locks && current.locks.hardwareWord !== undefined ? current.locks.hardwareWord : null;
    }
  }

  function lockOf(signalName) {
    if (!current.locks) return '';
    if (!signalName) return current.locks.lock;
    const signal = current.locks.signals.find((s) => s.name === signalName);
    return signal ? signal.lock : '';
  }

  function bitPicture(register) {
    const width = register.width;
    const owner = new Array(width).fill(null);
    register.signals.forEach((signal, index) => {
      for (let bit = signal.low; bit <= signal.high && bit < width; bit++) owner[bit] = index;
    });
    const labels = el('tr');
    const cells = el('tr');
    const numbers = el('tr');
    for (let bit = width - 1; bit >= 0;) {
      const index = owner[bit];
      let span = 1;
      while (bit - span >= 0 && owner[bit - span] === index) span++;
      if (index === null) {
        labels.append(el('td', { className: 'free', colspan: span, title: 'no signal' }));
      } else {
        const signal = register.signals[index];
        labels.append(el('td', { className: 'label ' + (index % 2 ? 'odd' : 'even'), colspan: span,
          title: `${signal.name} (${signal.high}..${signal.low})`, text: signal.name }));
      }
      for (let b = bit; b > bit - span; b--) {
        const value = current.word === null ? '' : String((current.word >>> b) & 1);
        cells.append(el('td', { className: index === null ? 'free' : (index % 2 ? 'odd' : 'even'), text: value,
          title: `bit ${b}` + (index === null ? ': no signal' : ': ' + register.signals[index].name) }));
        numbers.append(el('th', { scope: 'col', text: String(b) }));
      }
      bit -= span;
    }
    return el('table', { className: 'bits', 'aria-label': `Bits of ${register.name}, ${width - 1} to 0` },
      el('tbody', {}, labels, cells, numbers));
  }

  // The library's text for the signal's value: an enumerator's name, a number ("0000001F/h"),
  // or for an enumerated value without a name, that value in decimal.
  function fieldValue(signal) {
    const text = current.texts ? current.texts.get(signal.name) : null;
    if (text === null || text === undefined) return null;
    const named = signal.enumerators.find((e) => e.name === text);
    if (named) return named.value;
    return (/\/h$/i.test(text) ? parseInt(text, 16) : parseInt(text, 10)) >>> 0;
  }
  function valueText(signal, value) {
    if (value === null || Number.isNaN(value)) return '';
    const named = signal.enumerators.find((e) => e.value === value);
    return named ? named.name : number(value);
  }

  function renderRegister(focusSignal) {
    const register = current.register;
    const view = $('view');
    const props = el('table', { className: 'props' }, el('tbody', {},
      row('Address', '0x' + hex(register.address, 4) + ` (${register.address})`),
      row('Width', `${register.width} bits`),
      row('Access strategy', register.access),
      row('Words', String(register.words)),
      register.status ? row('Status register', 'yes: write one to clear') : null,
      reference || isMemory(register) ? null
        : row('Hardware word', current.word === null ? '(not read)' : '0x' + hex(current.word, register.width / 4)),
      reference ? null : row('Lock state', lockOf(null))));
    const message = el('p', { className: 'message', id: 'register-message', role: 'status' });
    if (current.readOutcome) say(message, current.readOutcome);
    else if (current.reports && current.reports.length) say(message, current.reports.join('\n'));
    const parts = [el('h2', { text: register.name }), props, message];
    if (isMemory(register)) parts.push(memoryView(register));
    else {
      parts.push(el('h3', { text: 'Bits' }), bitPicture(register));
      parts.push(el('h3', { text: 'Signals' }), signalTable(register));
    }
    view.replaceChildren(...parts);
    document.title = `${register.name} - ${reference ? 'ZEV register reference' : 'ZEV console'}`;
    if (focusSignal) {
      const rowNode = view.querySelector(`tr[data-signal="${CSS.escape(focusSignal)}"]`);
      if (rowNode) {
        rowNode.classList.add('focused');
        rowNode.scrollIntoView({ block: 'center' });
        const input = rowNode.querySelector('select, input');
        if (input) input.focus();
      }
    }
  }

  function row(name, value) {
    return el('tr', {}, el('th', { scope: 'row', text: name }), el('td', { className: 'mono', text: value }));
  }

  function signalTable(register) {
    const head = el('tr', {}, ...['Signal', 'Bits', 'Default']
      .concat(reference ? ['Values'] : ['Value', 'Lock', 'Change'])
      .map((h) => el('th', { scope: 'col', text: h })));
    const body = el('tbody');
    for (const signal of register.signals) {
      const bits = signal.high === signal.low ? String(signal.low) : `${signal.high}..${signal.low}`;
      const cells = [el('th', { scope: 'row', text: signal.name }), el('td', { text: bits }),
        el('td', { className: 'value', text: valueText(signal, signal.default) })];
      if (reference) {
        cells.push(el('td', { text: signal.enumerators.length
          ? signal.enumerators.map((e) => `${e.value} ${e.name}`).join(', ') : `0 to ${signal.max}` }));
      } else {
        const lock = lockOf(signal.name);
        cells.push(el('td', { className: 'value', text: valueText(signal, fieldValue(signal)) }),
          el('td', { className: 'lock-' + lock, text: lock }),
          el('td', {}, editor(register, signal)));
      }
      const tr = el('tr', {}, ...cells);
      tr.dataset.signal = signal.name;
      body.append(tr);
    }
    return el('table', { className: 'signals' }, el('thead', {}, head), body);
  }

  // A drop-down of the enumerators, or a number checked against the field's maximum before
  // it is sent; any other text goes to the library as it is, which answers for it.
  function editor(register, signal) {
    const id = `edit-${signal.name}`;
    const message = el('p', { className: 'message', role: 'status' });
    let input;
    if (signal.enumerators.length) {
      input = el('select', { id });
      for (const e of signal.enumerators) input.append(el('option', { value: e.name, text: `${e.name} (${e.value})` }));
      const value = fieldValue(signal);
      const named = signal.enumerators.find((e) => e.value === value);
      if (named) input.value = named.name;
    } else {
      input = el('input', { id, type: 'text', inputmode: 'numeric', autocomplete: 'off',
        placeholder: `0 to ${number(signal.max)}` });
    }
    const write = el('button', { type: 'button', text: 'Write' });
    const unlock = el('button', { type: 'button', text: 'Unlock' });
    if (readOnly) {
      for (const node of [input, write, unlock]) node.disabled = true;
      const why = 'read-only server: writing and unlocking are refused';
      write.title = unlock.title = why;
    }
    const send = async () => {
      let text = input.value.trim();
      if (!signal.enumerators.length) {
        if (text === '') { say(message, 'enter a value'); return; }
        if (/^(0x[0-9a-f]+|[0-9]+)$/i.test(text)) {
          const value = Number(text);
          if (value > signal.max) {
            say(message, `${text} is above the field's maximum ${signal.max} (0x${hex(signal.max)}): not sent`);
            return;
          }
          text = value + '/d';
        }
      }
      const answer = await call('POST', 'write', { register: register.name, signal: signal.name, values: [text] });
      await afterChange(signal.name, answer, 'written');
    };
    write.addEventListener('click', send);
    input.addEventListener('keydown', (event) => { if (event.key === 'Enter') send(); });
    unlock.addEventListener('click', async () => {
      const answer = await call('POST', 'unlock', { register: register.name, signal: signal.name });
      await afterChange(signal.name, answer, 'unlocked');
    });
    return el('div', { className: 'editor' },
      el('label', { for: id, className: 'note', text: 'New value' }), input, write, unlock, message);
  }

  // Re-read after a change and show the service's answer beside the field it concerns.
  async function afterChange(signalName, answer, done) {
    await refresh();
    renderRegister(null);
    const rowNode = $('view').querySelector(`tr[data-signal="${CSS.escape(signalName)}"]`);
    const message = rowNode ? rowNode.querySelector('.message') : $('register-message');
    if (answer.status === 200) say(message, done + (answer.body.reports.length ? '\n' + outcome(answer) : ''), true);
    else say(message, outcome(answer));
  }

  function memoryView(register) {
    const pages = Math.ceil(register.words / MEMORY_PAGE);
    const first = current.page * MEMORY_PAGE;
    const parts = [el('h3', { text: `Words ${first} to ${Math.min(first + MEMORY_PAGE, register.words) - 1} of ${register.words}` })];
    const pager = el('div', { className: 'editor' },
      el('button', { type: 'button', text: 'Previous page', disabled: current.page === 0, onclick: () => page(-1) }),
      el('label', { for: 'page', text: 'Page' }),
      el('input', { id: 'page', type: 'number', min: 1, max: pages, value: current.page + 1,
        onchange: (e) => page(Number(e.target.value) - 1 - current.page) }),
      el('span', { text: `of ${pages}` }),
      el('button', { type: 'button', text: 'Next page', disabled: current.page + 1 >= pages, onclick: () => page(1) }));
    if (!reference) parts.push(pager);
    if (current.values) {
      const body = el('tbody');
      for (let i = 0; i < current.values.length; i += 8) {
        const words = current.values.slice(i, i + 8).map((w) => el('td', { className: 'word', text: hex(w, 8) }));
        body.append(el('tr', {}, el('th', { scope: 'row', text: String(first + i) }), ...words));
      }
      parts.push(el('table', { className: 'memory', 'aria-label': 'Memory words, hexadecimal' }, body));
    }
    if (!reference) {
      const start = el('input', { id: 'mem-start', type: 'number', min: 0, max: register.words - 1, value: first });
      const words = el('input', { id: 'mem-words', type: 'text', size: 60, placeholder: 'hexadecimal words: 1A 2B 3C' });
      const message = el('p', { className: 'message', id: 'mem-message', role: 'status' });
      const write = el('button', { type: 'button', text: 'Write range', disabled: readOnly,
        title: readOnly ? 'read-only server: writing is refused' : null });
      if (readOnly) start.disabled = words.disabled = true;
      write.addEventListener('click', async () => {
        const values = words.value.trim().split(/[\s,]+/).filter(Boolean).map((w) => (/\/[dDhH]/.test(w) ? w : w + '/h'));
        if (!values.length) { say(message, 'enter one or more words'); return; }
        const answer = await call('POST', 'write', { register: register.name, start: Number(start.value), values });
        await refresh();
        renderRegister(null);
        say($('mem-message'), answer.status === 200 ? 'written' : outcome(answer), answer.status === 200);
      });
      parts.push(el('h3', { text: 'Write a range' }), el('div', { className: 'editor' },
        el('label', { for: 'mem-start', text: 'Start word' }), start,
        el('label', { for: 'mem-words', text: 'Words' }), words, write), message);
    }
    return el('section', {}, ...parts);
  }

  async function page(step) {
    const pages = Math.ceil(current.register.words / MEMORY_PAGE);
    current.page = Math.max(0, Math.min(pages - 1, current.page + step));
    await refresh();
    renderRegister(null);
  }

  // ---- device actions ----
  async function deviceAction(path, body, done) {
    const answer = await call('POST', path, body);
    say($('device-message'), answer.status === 200 ? done + (answer.body.reports && answer.body.reports.length
      ? ` (${answer.body.reports.length} reports)` : '') : outcome(answer), answer.status === 200);
    if (current) { await refresh(); renderRegister(null); }
  }

  async function downloadSnapshot() {
    const answer = await call('GET', 'snapshot');
    if (answer.status !== 200) { say($('device-message'), outcome(answer)); return; }
    const url = URL.createObjectURL(new Blob([answer.body.snapshot], { type: 'text/plain' }));
    const link = el('a', { href: url, download: 'ZEV_DUMP.m' });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
    say($('device-message'), 'snapshot downloaded as ZEV_DUMP.m', true);
  }

  function setAuto() {
    clearInterval(autoTimer);
    autoTimer = null;
    const seconds = Math.max(1, Number($('auto-seconds').value) || 2);
    if ($('auto').checked) {
      autoTimer = setInterval(async () => {
        if (!current || document.activeElement && document.activeElement.closest('.editor')) return;
        await refresh();
        renderRegister(null);
      }, seconds * 1000);
    }
  }

  // ---- the live panel: the server's event stream ----
  async function follow() {
    for (;;) {
      try {
        const response = await fetch(API + 'events', { headers: { Authorization: 'Bearer ' + token } });
        if (response.status !== 200) return;
        const reader = response.body.getReader();
        const decoder = new TextDecoder();
        let buffer = '';
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          buffer += decoder.decode(value, { stream: true });
          let end;
          while ((end = buffer.indexOf('\n\n')) >= 0) {
            showEvent(buffer.slice(0, end));
            buffer = buffer.slice(end + 2);
          }
        }
      } catch (e) { /* the server went away: try again */ }
      await new Promise((resolve) => setTimeout(resolve, 2000));
    }
  }
  function showEvent(block) {
    let type = 'message', data = '';
    for (const line of block.split('\n')) {
      if (line.startsWith('event: ')) type = line.slice(7);
      else if (line.startsWith('data: ')) data += line.slice(6);
    }
    if (paused || data === '') return;
    let text = data;
    try {
      const parsed = JSON.parse(data);
      text = parsed.text || (parsed.count !== undefined ? `${parsed.count} events dropped` : data);
    } catch (e) { /* plain text */ }
    // A snapshot makes thousands of transfers: they are shown once per frame, the newest
    // LIVE_LINES of them, so that the page stays responsive.
    pending.push({ type, text });
    if (pending.length > LIVE_LINES) pending.splice(0, pending.length - LIVE_LINES);
    if (pending.length === 1) requestAnimationFrame(flushEvents);
  }
  const pending = [];
  function flushEvents() {
    const list = $('events');
    const fragment = document.createDocumentFragment();
    for (const { type, text } of pending.splice(0)) fragment.append(el('li', { className: type, text }));
    list.append(fragment);
    for (let extra = list.childElementCount - LIVE_LINES; extra > 0; extra--) list.firstChild.remove();
    if (list.lastChild) list.lastChild.scrollIntoView({ block: 'nearest' });
  }

  // ---- start ----
  function wire() {
    const search = $('search');
    search.addEventListener('input', (event) => {
      const t0 = event.timeStamp;
      filter(search.value);
      requestAnimationFrame(() => timings.filter.push(performance.now() - t0));
    });
    search.addEventListener('keydown', (event) => {
      const links = visibleLinks();
      if (event.key === 'Enter' && links.length) { location.hash = links[0].getAttribute('href'); event.preventDefault(); }
      if (event.key === 'ArrowDown' && links.length) { links[0].focus(); event.preventDefault(); }
    });
    $('tree').addEventListener('keydown', (event) => {
      if (event.key !== 'ArrowDown' && event.key !== 'ArrowUp') return;
      const links = visibleLinks();
      const at = links.indexOf(document.activeElement);
      if (at < 0) return;
      const next = at + (event.key === 'ArrowDown' ? 1 : -1);
      if (next < 0) search.focus(); else if (next < links.length) links[next].focus();
      event.preventDefault();
    });
    window.addEventListener('hashchange', route);
    if (reference) return;
    $('defaults').addEventListener('click', () => deviceAction('defaults', {}, 'SetToDefault done'));
    $('lock-all').addEventListener('click', () => deviceAction('lock', { register: 'ALL', signal: 'ALL' }, 'all locked'));
    $('unlock-all').addEventListener('click', () => deviceAction('unlock', { register: 'ALL', signal: 'ALL' }, 'all unlocked'));
    $('snapshot').addEventListener('click', downloadSnapshot);
    $('hex').addEventListener('change', () => current && renderRegister(null));
    $('auto').addEventListener('change', setAuto);
    $('auto-seconds').addEventListener('change', setAuto);
    $('pause').addEventListener('click', () => {
      paused = !paused;
      $('pause').setAttribute('aria-pressed', String(paused));
      $('pause').textContent = paused ? 'Resume' : 'Pause';
    });
    $('clear').addEventListener('click', () => $('events').replaceChildren());
    $('login').addEventListener('submit', (event) => {
      event.preventDefault();
      sessionStorage.setItem('zevToken', $('token').value.trim());
      location.reload();
    });
  }

  function ready() {
    for (const register of map.registers) byName.set(register.name, register);
    buildTree();
    route();
    requestAnimationFrame(() => {
      timings.ready = performance.now();
      document.body.dataset.ready = 'true';
    });
  }

  async function start() {
    wire();
    if (reference) {
      document.body.classList.add('reference');
      map = reference;
      $('title').textContent = 'ZEV register reference';
      $('identity').textContent = `${map.device.xmlVersion}, generator ${map.device.generatorVersion}`;
      ready();
      return;
    }
    token = takeToken();
    if (!token) { showLogin(); return; }
    const [device, mapAnswer] = await Promise.all([call('GET', 'device'), call('GET', 'map')]);
    if (device.status !== 200 || mapAnswer.status !== 200) return;
    map = mapAnswer.body;
    readOnly = device.body.readOnly;
    $('identity').textContent = `${device.body.name}: ${device.body.xmlVersion}, generator ${device.body.generatorVersion}`;
    if (readOnly) {
      $('readonly').hidden = false;
      $('readonly').textContent = 'This zevd is read-only (--read-only): writing, locking, unlocking and ' +
        'SetToDefault are refused, so the editors and those actions are disabled.';
      for (const id of ['defaults', 'lock-all', 'unlock-all']) $(id).disabled = true;
    }
    ready();
    follow();
  }

  start();
})();
