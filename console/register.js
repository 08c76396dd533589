// The open register: its properties, the whole word (shown and written in hexadecimal), the
// bits at a fixed scale (a click on a writable field's bit writes that field), and each
// field's value, lock state and editor. The view is built once per register; reads update
// it in place, so that focus and typed text survive a re-read.
'use strict';

(function (Z) {
  const { el, $ } = Z;
  const BITS_PER_ROW = 16;
  const MARK_AFTER_MS = 100;     // a register's read taking longer: the list marks it meanwhile

  // ---- reading: one batch gives the lock states and the hardware's word ----
  // The word is read without handing it to the application, and every field is decoded from
  // it with the map: one transfer for the register, not one per signal.
  function decode(register, word) {
    const values = new Map();
    for (const signal of register.signals) values.set(signal.name, ((word >>> signal.low) & signal.max) >>> 0);
    return values;
  }
  function textValue(signal, text) {
    if (typeof text !== 'string') return null;
    const named = signal.enumerators.find((e) => e.name === text);
    if (named) return named.value;
    return (/\/h$/i.test(text) ? parseInt(text, 16) : parseInt(text, 10)) >>> 0;
  }
  // The text the library takes for a field's value: an enumerator's name, else the number.
  Z.valueText = function (signal, value) {
    const named = signal.enumerators.find((e) => e.value === value);
    return named ? named.name : value + '/d';
  };
  Z.fieldText = function (signal, value) {
    if (value === null || value === undefined || Number.isNaN(value)) return '';
    const named = signal.enumerators.find((e) => e.value === value);
    return named ? `${named.name} (${Z.number(value)})` : Z.number(value, signal.width);
  };

  // Takes in what a batch's state and words results say, noting what changed since the
  // last read.
  function take(state, words) {
    const c = Z.current;
    if (state && state.status === 200) {
      c.lock = state.lock;
      c.signalLocks = new Map((state.signals || []).map((s) => [s.name, s.lock]));
      if (Z.writeOnly(c.register) && state.hardwareWord !== undefined) c.lastWritten = state.hardwareWord;
    }
    if (words && words.status === 200 && !Z.isMemory(c.register)) {
      const word = words.words[0] >>> 0;
      const values = decode(c.register, word);
      c.changed = new Set();
      if (c.values) for (const [name, value] of values) if (c.values.get(name) !== value) c.changed.add(name);
      c.changedBits = c.word === null ? 0 : (c.word ^ word) >>> 0;
      c.word = word;
      c.values = values;
      c.readAt = new Date();
    }
  }

  // The register read now. Returns false (and says why, beside the register and in a
  // message) when the read failed.
  function readOperations(register) {
    const operations = [{ op: 'state', register: register.name }];
    if (!Z.writeOnly(register)) operations.push({ op: 'words', register: register.name });
    return operations;
  }
  async function readRegister(sent) {
    const c = Z.current;
    const register = c.register;
    const results = await (sent || Z.batch(readOperations(register)));
    if (Z.current !== c) return false;
    const failed = results.find((r) => r.status !== 200);
    take(results[0], results[1]);
    c.error = failed ? Z.judge(failed, 'read').text : '';
    if (failed) Z.notify('error', `${register.name} not read: ${c.error}`);
    return !failed;
  }

  Z.refresh = async function (sent) {
    if (Z.reference || !Z.current) return false;
    const c = Z.current;
    const ok = Z.isMemory(c.register) ? await Z.readMemory() : await readRegister(sent);
    if (Z.current !== c) return ok;
    Z.showValues();
    // A failed read is said beside the register until a read succeeds.
    const message = $('register-message');
    if (!ok) Z.say(message, 'error', 'not read: ' + c.error);
    else if (message && message.textContent.startsWith('not read')) Z.say(message, 'ok', '');
    return ok;
  };

  Z.openRegister = async function (register, signalName) {
    const t0 = performance.now();
    const keepPage = Z.current && Z.current.register === register ? Z.current.page : 0;
    Z.current = { register, page: keepPage, word: null, values: null, changed: new Set(), changedBits: 0,
      lock: null, signalLocks: new Map(), error: '', rows: new Map(), readAt: null, words: null };
    // The view is built when the device has answered (a round trip), so that it is laid out
    // and drawn once, with its values, not once empty and again filled. The list marks the
    // register with it, in the same frame (a frame for the mark alone held up the answer by
    // as long as it took), or at once if the device takes longer than a moment.
    const c = Z.current;
    const sent = Z.reference || Z.isMemory(register) ? null : Z.batch(readOperations(register));
    if (sent) {
      const marking = setTimeout(() => { if (Z.current === c) Z.markCurrent(register.name); }, MARK_AFTER_MS);
      await sent;
      clearTimeout(marking);
    }
    if (Z.current !== c) return;
    Z.markCurrent(register.name);
    render(register);
    const built = performance.now();
    if (signalName && !register.signals.some((s) => s.name === signalName)) {
      Z.notify('error', `${register.name} has no signal ${signalName}`);
      signalName = null;
    }
    if (!Z.reference) await Z.refresh(sent);
    else Z.showValues();
    const shown = performance.now();
    if (signalName) focusSignal(signalName);
    // (the view built; the values read and shown; drawn at the next frame)
    requestAnimationFrame(() => Z.timings.open.push({ register: register.name, ms: performance.now() - t0,
      built: built - t0, shown: shown - t0 }));
  };

  function focusSignal(name) {
    const row = Z.current.rows.get(name);
    if (!row) return;
    row.tr.classList.add('focused');
    row.tr.scrollIntoView({ block: 'center' });
    const input = row.tr.querySelector('select:not(:disabled), input:not(:disabled)');
    if (input) input.focus();
  }

  // ---- writing ----
  // One batch: the word before (for the history), the write, then the lock states and the
  // word after. The answer goes beside the control that sent it; focus stays where it was.
  Z.writeRegister = async function (operation, messageNode, what) {
    const c = Z.current;
    const register = c.register;
    const readable = !Z.writeOnly(register);
    const operations = (readable ? [{ op: 'words', register: register.name }] : []).concat(
      [operation, { op: 'state', register: register.name }], readable ? [{ op: 'words', register: register.name }] : []);
    const results = await Z.batch(operations);
    const [before, written, state, after] = readable ? results : [null].concat(results);
    const verdict = Z.judge(written, 'written');
    if (Z.current === c) {
      take(state, after);
      Z.showValues();
      Z.say(messageNode, verdict.kind, verdict.text);
    }
    if (verdict.kind !== 'ok') Z.notify(verdict.kind, `${register.name}${what ? '.' + what : ''}: ${verdict.text}`);
    if (written.status === 200 && !(written.reports || []).some((r) => r.accessDenied)) {
      const oldWord = before && before.status === 200 ? before.words[0] >>> 0 : null;
      const newWord = after && after.status === 200 ? after.words[0] >>> 0 : null;
      Z.record(register, operation, oldWord, newWord);
    }
    return verdict;
  };

  function writeField(signal, value, messageNode) {
    return Z.writeRegister({ op: 'write', register: Z.current.register.name, signal: signal.name,
      values: [typeof value === 'number' ? Z.valueText(signal, value) : value] }, messageNode, signal.name);
  }

  // ---- the view ----
  let viewScrolled = false;
  $('view').addEventListener('scroll', () => { viewScrolled = $('view').scrollTop > 0; }, { passive: true });
  function row(name, value, id) {
    return el('tr', {}, el('th', { scope: 'row', text: name }), el('td', { className: 'mono', id }, value));
  }
  function writableHere(register) {
    return !Z.reference && !Z.readOnly && !Z.readOnlyRegister(register);
  }

  function render(register) {
    const c = Z.current;
    const view = $('view');
    const served = !Z.reference;
    const access = Z.writeOnly(register) ? ' (write-only: reads are refused)'
      : Z.readOnlyRegister(register) ? ' (read-only: writes are refused)' : '';
    const props = el('table', { className: 'props' }, el('tbody', {},
      row('Address', '0x' + Z.hex(register.address, 4) + ` (${register.address})`),
      row('Width', `${register.width} bits`),
      row('Access strategy', register.access + access),
      row('Words', String(register.words)),
      register.status ? row('Status register', 'yes: write one to clear') : null,
      served ? row('Lock state', '', 'lock-state') : null,
      served ? row('Last read', '', 'read-at') : null));
    const parts = [el('div', { className: 'view-head' }, el('h2', { text: register.name }),
      served ? el('button', { type: 'button', id: 'read-register', text: 'Read',
        title: 'Read the register from the device now', disabled: Z.writeOnly(register) && !Z.isMemory(register),
        onclick: async () => { const ok = await Z.refresh(); Z.say($('register-message'), ok ? 'ok' : 'error', ok ? 'read at ' + Z.time() : Z.current.error); } })
        : null,
      served && !Z.isMemory(register) ? el('button', { type: 'button', id: 'unlock-register', text: 'Unlock register',
        disabled: Z.readOnly, onclick: () => unlock('ALL', $('register-message')) }) : null),
    props, el('p', { className: 'message', id: 'register-message', role: 'status' })];
    if (Z.isMemory(register)) parts.push(Z.memoryView(register));
    else {
      if (served) parts.push(rawWord(register));
      parts.push(el('h3', { text: 'Bits' }), bitPicture(register));
      parts.push(el('h3', { text: 'Signals' }), signalTable(register));
    }
    // Back to the top only if the last view was scrolled: setting it lays the page out at once.
    if (viewScrolled) { view.scrollTop = 0; viewScrolled = false; }
    view.replaceChildren(...parts);
    document.title = `${register.name} - ${Z.reference ? 'ZEV register reference' : 'ZEV console'}`;
  }

  // The whole register's word, shown and written in hexadecimal.
  function rawWord(register) {
    const digits = register.width / 4;
    const input = el('input', { id: 'raw-word', type: 'text', className: 'mono', size: digits + 2, autocomplete: 'off',
      spellcheck: 'false', placeholder: '0'.repeat(digits), disabled: !writableHere(register) });
    const write = el('button', { type: 'button', text: 'Write word', disabled: !writableHere(register) });
    const message = el('p', { className: 'message', id: 'raw-message', role: 'status' });
    const send = async () => {
      const text = input.value.trim().replace(/^0x/i, '').replace(/\/h$/i, '');
      const max = register.width === 32 ? 0xFFFFFFFF : 2 ** register.width - 1;
      if (!/^[0-9a-f]{1,8}$/i.test(text) || parseInt(text, 16) > max) {
        Z.say(message, 'error', `"${input.value.trim()}" is not a word of ${register.width} bits in hexadecimal (0 to ${Z.hex(max)}): not sent`);
        return;
      }
      await Z.writeRegister({ op: 'write', register: register.name, values: [Z.hex(parseInt(text, 16), 8) + '/h'] }, message, '');
    };
    write.addEventListener('click', send);
    input.addEventListener('keydown', (event) => { if (event.key === 'Enter') send(); });
    if (!writableHere(register)) write.title = input.title = whyNot(register);
    return el('div', { className: 'raw' },
      el('span', { className: 'raw-label', text: 'Hardware word' }),
      el('output', { id: 'word-now', className: 'mono', 'aria-label': 'Hardware word, hexadecimal' }),
      el('label', { for: 'raw-word', text: 'New word (hex)' }), input, write, message);
  }
  function whyNot(register) {
    if (Z.readOnly) return 'read-only server: writing is refused';
    if (Z.readOnlyRegister(register)) return 'read-only register (CParallelRead): the device refuses writes';
    return '';
  }

  // An upright name's length, measured on a canvas in the names' font: with its height given,
  // the picture is laid out in one pass (a vertical text of unknown length is laid out
  // again for every size its grid and box ask of it). At most 12em, as the style allows.
  let names = null;
  function uprightLength(name) {
    if (!names) {
      names = document.createElement('canvas').getContext('2d');
      names.font = '600 11px system-ui, sans-serif';
    }
    return Math.ceil(Math.min(names.measureText(name).width, 132)) + 'px';
  }

  // Bits at a fixed scale, 16 to a row (31..16 over 15..0), each field's name over its bits,
  // written across a wide field and upright over a narrow one.
  function bitPicture(register) {
    const c = Z.current;
    const width = register.width;
    const owner = new Array(width).fill(-1);
    register.signals.forEach((signal, index) => {
      for (let bit = signal.low; bit <= signal.high && bit < width; bit++) owner[bit] = index;
    });
    const clickable = writableHere(register) && !Z.writeOnly(register);
    c.bitCells = [];
    const rows = [];
    for (let top = Math.ceil(width / BITS_PER_ROW) * BITS_PER_ROW - 1; top >= 0; top -= BITS_PER_ROW) {
      const bottom = top - BITS_PER_ROW + 1;
      const grid = el('div', { className: 'bit-row' });
      const column = (bit) => BITS_PER_ROW - (bit - bottom);
      for (let bit = Math.min(top, width - 1); bit >= bottom;) {
        const index = owner[bit];
        let span = 1;
        while (bit - span >= bottom && owner[bit - span] === index) span++;
        const signal = index >= 0 ? register.signals[index] : null;
        const label = signal ? el('div', { className: 'field ' + (index % 2 ? 'odd' : 'even'), title: `${signal.name} (${signal.high}..${signal.low})` },
          el('span', { text: signal.name })) : el('div', { className: 'field free', title: 'no signal', 'aria-hidden': 'true' });
        if (signal && signal.name.length * 6.4 > span * 24) {
          label.classList.add('upright');
          label.firstChild.style.height = uprightLength(signal.name);
        }
        label.style.gridColumn = `${column(bit)} / span ${span}`;
        grid.append(label);
        bit -= span;
      }
      for (let bit = Math.min(top, width - 1); bit >= bottom; bit--) {
        const index = owner[bit];
        const signal = index >= 0 ? register.signals[index] : null;
        const kind = signal ? (index % 2 ? 'odd' : 'even') : 'free';
        const cell = clickable && signal
          ? el('button', { type: 'button', className: 'bit ' + kind, 'data-bit': bit })
          : el('span', { className: 'bit ' + kind, 'data-bit': bit });
        if (cell.tagName === 'BUTTON') cell.addEventListener('click', () => flipBit(signal, bit));
        cell.style.gridColumn = String(column(bit));
        c.bitCells[bit] = { cell, signal };
        grid.append(cell);
        const number = el('span', { className: 'bit-number', text: String(bit), 'aria-hidden': 'true' });
        number.style.gridColumn = String(column(bit));
        grid.append(number);
      }
      rows.push(grid);
    }
    const group = el('div', { className: 'bits', role: 'group', 'aria-label': `Bits of ${register.name}, ${width - 1} to 0; left and right arrows move between bits` }, ...rows);
    rovingFocus(group);
    return group;
  }

  // The bit buttons are one stop of Tab, the left and right arrows (Home, End) move between them: the
  // editors below are not 32 presses away.
  function rovingFocus(group) {
    const buttons = [...group.querySelectorAll('button.bit')];
    buttons.forEach((button, i) => { button.tabIndex = i === 0 ? 0 : -1; });
    group.addEventListener('keydown', (event) => {
      const at = buttons.indexOf(document.activeElement);
      if (at < 0) return;
      const to = { ArrowLeft: at - 1, ArrowRight: at + 1, Home: 0, End: buttons.length - 1 }[event.key];
      if (to === undefined) return;
      event.preventDefault();
      const next = buttons[Math.max(0, Math.min(buttons.length - 1, to))];
      buttons[at].tabIndex = -1;
      next.tabIndex = 0;
      next.focus();
    });
  }

  async function flipBit(signal, bit) {
    const c = Z.current;
    if (!c.values) return;
    const value = (c.values.get(signal.name) ^ (1 << (bit - signal.low))) >>> 0;
    const row = c.rows.get(signal.name);
    await writeField(signal, value, row ? row.message : $('register-message'));
  }

  // A field's row, cloned for each signal (cheaper than building its elements one by one):
  // name, bits, default, value, lock state and the editor (the control named for the
  // signal by aria-label: no hidden label to lay out).
  function rowTemplate(choice) {
    const control = choice ? el('select') : el('input', { type: 'text', autocomplete: 'off', spellcheck: 'false' });
    return el('tr', {}, el('th', { scope: 'row' }), el('td'), el('td', { className: 'default mono' }),
      el('td', { className: 'value' }), el('td'),
      el('td', {}, el('div', { className: 'field-editor' }, control,
        el('button', { type: 'button', 'data-action': 'write', text: 'Write' }),
        el('button', { type: 'button', 'data-action': 'read', text: 'Read' }),
        el('button', { type: 'button', 'data-action': 'unlock', text: 'Unlock' }),
        el('p', { className: 'message', role: 'status' }))));
  }
  let rowTemplates = null;

  function signalTable(register) {
    const c = Z.current;
    const served = !Z.reference;
    const head = el('tr', {}, ...['Signal', 'Bits', 'Default'].concat(served ? ['Value', 'Lock', 'Change'] : ['Values'])
      .map((h) => el('th', { scope: 'col', text: h })));
    const body = el('tbody');
    if (served && !rowTemplates) rowTemplates = [rowTemplate(false), rowTemplate(true)];
    for (const signal of register.signals) {
      const bits = signal.high === signal.low ? String(signal.low) : `${signal.high}..${signal.low}`;
      let refs;
      if (!served) {
        const defaultCell = el('td', { className: 'default mono' });
        refs = { signal, defaultCell, tr: el('tr', { 'data-signal': signal.name }, el('th', { scope: 'row', text: signal.name }),
          el('td', { text: bits }), defaultCell, el('td', { text: signal.enumerators.length
            ? signal.enumerators.map((e) => `${e.value} ${e.name}`).join(', ') : `0 to ${signal.max}` })) };
      } else {
        const tr = rowTemplates[signal.enumerators.length ? 1 : 0].cloneNode(true);
        const [nameCell, bitsCell, defaultCell, valueCell, lockCell, editorCell] = tr.children;
        tr.dataset.signal = signal.name;
        nameCell.textContent = signal.name;
        bitsCell.textContent = bits;
        refs = { signal, tr, defaultCell, valueCell, lockCell };
        editor(register, signal, refs, editorCell.firstChild);
      }
      c.rows.set(signal.name, refs);
      body.append(refs.tr);
    }
    const table = el('table', { className: 'signals' + (served ? '' : ' reference') }, el('thead', {}, head), body);
    if (served) wireEditors(table);
    return table;
  }

  // A drop-down of the enumerators, or a number in the chosen radix checked against the
  // field's maximum before it is sent; a text with the library's own /d or /h goes as it is.
  function editor(register, signal, refs, box) {
    const [input, write, read, unlockButton, message] = box.children;
    refs.input = input;
    refs.message = message;
    input.id = `edit-${signal.name}`;
    input.setAttribute('aria-label', `New value of ${signal.name}`);
    if (signal.enumerators.length) {
      const options = document.createDocumentFragment();
      for (const e of signal.enumerators) options.append(new Option(`${e.name} (${e.value})`, e.name));
      input.append(options);
    }
    read.title = `Read ${signal.name} from the device now`;
    if (!writableHere(register)) {
      input.disabled = write.disabled = true;
      write.title = input.title = whyNot(register);
    }
    if (Z.readOnly) { unlockButton.disabled = true; unlockButton.title = whyNot(register); }
    if (Z.writeOnly(register)) { read.disabled = true; read.title = 'write-only register (CParallelWrite): the device refuses reads'; }
  }

  // The editors' controls answered by one set of listeners on the table.
  function wireEditors(table) {
    const rowOf = (node) => {
      const tr = node.closest('tr[data-signal]');
      return tr && Z.current ? Z.current.rows.get(tr.dataset.signal) : null;
    };
    table.addEventListener('click', (event) => {
      const button = event.target.closest('button[data-action]');
      const refs = button && rowOf(button);
      if (!refs) return;
      const action = button.dataset.action;
      if (action === 'write') send(refs);
      else if (action === 'read') readField(refs.signal, refs.message);
      else if (action === 'unlock') unlock(refs.signal.name, refs.message);
    });
    table.addEventListener('keydown', (event) => {
      const refs = event.key === 'Enter' && rowOf(event.target);
      if (refs && event.target === refs.input) { event.preventDefault(); send(refs); }
    });
    table.addEventListener('change', (event) => {
      const refs = rowOf(event.target);
      if (refs && event.target === refs.input && refs.input.tagName === 'SELECT') refs.input.dataset.dirty = 'true';
    });
  }

  async function send(refs) {
    const { signal, input } = refs;
    let value;
    if (signal.enumerators.length) value = input.value;
    else {
      const text = input.value.trim();
      if (text === '') { Z.say(refs.message, 'error', 'enter a value'); return; }
      if (/^\S+\/[a-gi-z]$/i.test(text)) value = text;      // the library answers for its own formats
      else {
        const parsed = Z.parseNumber(text, signal.max);
        if (parsed.error) {
          Z.say(refs.message, 'error', `${parsed.error}: not sent (${signal.name} takes ${Z.radixRange(signal.max)})`);
          return;
        }
        value = parsed.value;
      }
    }
    const verdict = await writeField(signal, value, refs.message);
    if (verdict.kind === 'ok') delete input.dataset.dirty;
  }

  // One field read through the library's text service now, with the lock states.
  async function readField(signal, message) {
    const c = Z.current;
    const results = await Z.batch([{ op: 'read', register: c.register.name, signal: signal.name },
      { op: 'state', register: c.register.name }]);
    if (Z.current !== c) return;
    const [read, state] = results;
    take(state, null);
    if (read.status === 200) {
      const value = textValue(signal, read.values[0]);
      c.changed = new Set();
      if (c.values && c.values.get(signal.name) !== value) c.changed.add(signal.name);
      if (!c.values) c.values = new Map();
      c.values.set(signal.name, value);
      c.changedBits = 0;
      c.readAt = new Date();
    }
    Z.showValues();
    const verdict = Z.judge(read, 'read at ' + Z.time());
    Z.say(message, verdict.kind, verdict.text);
    if (verdict.kind !== 'ok') Z.notify(verdict.kind, `${c.register.name}.${signal.name} ${verdict.text}`);
  }

  async function unlock(signalName, message) {
    const c = Z.current;
    const register = c.register;
    const results = await Z.batch([{ op: 'unlock', register: register.name, signal: signalName },
      { op: 'state', register: register.name }].concat(Z.writeOnly(register) ? [] : [{ op: 'words', register: register.name }]));
    if (Z.current !== c) return;
    take(results[1], results[2]);
    Z.showValues();
    const verdict = Z.judge(results[0], 'unlocked');
    Z.say(message, verdict.kind, verdict.text);
    if (verdict.kind !== 'ok') Z.notify(verdict.kind, `${register.name}: ${verdict.text}`);
  }

  // ---- showing what was read, in place ----
  Z.showValues = function () {
    const c = Z.current;
    if (!c) return;
    const register = c.register;
    if (Z.isMemory(register)) { Z.showMemory(); return; }
    const diffs = Z.differencesOf(register.name);
    for (const [name, refs] of c.rows) {
      const signal = refs.signal;
      refs.defaultCell.textContent = Z.fieldText(signal, signal.default);
      if (!refs.valueCell) continue;
      const value = c.values ? c.values.get(name) : null;
      const diff = diffs.find((d) => d.signal === name);
      refs.valueCell.replaceChildren(Z.writeOnly(register) ? el('span', { className: 'note', text: 'write-only' })
        : Z.fieldText(signal, value), ...(diff ? [el('span', { className: 'set-value', text: `${Z.diffs.label}: ${Z.diffValue(register, diff, 'set')}` })] : []));
      refs.tr.classList.toggle('changed', c.changed.has(name));
      refs.tr.classList.toggle('differs', !!diff);
      const lock = c.signalLocks.get(name) || '';
      refs.lockCell.textContent = lock;
      refs.lockCell.className = 'lock-' + lock;
      if (refs.input.tagName === 'SELECT') {
        const named = signal.enumerators.find((e) => e.value === value);
        if (named && !refs.input.dataset.dirty && document.activeElement !== refs.input) refs.input.value = named.name;
      } else {
        refs.input.placeholder = Z.radixRange(signal.max);
      }
    }
    if (!Z.reference) {
      const locked = [...c.signalLocks.values()].filter((l) => l !== 'UNLOCKED').length;
      $('lock-state').textContent = c.lock === null ? '(not read)' : `register ${c.lock}; ` +
        (locked === 0 ? 'every field UNLOCKED' : `${locked} of ${c.signalLocks.size} fields held by the service (LOCKED)`);
      $('read-at').textContent = Z.writeOnly(register) ? 'write-only: cannot be read'
        : c.readAt ? Z.time(c.readAt) : '(not read)';
      const now = $('word-now');
      if (now) {
        now.textContent = Z.writeOnly(register)
          ? 'write-only' + (c.lastWritten !== undefined ? ` (last written 0x${Z.hex(c.lastWritten, register.width / 4)})` : '')
          : c.word === null ? '(not read)' : '0x' + Z.hex(c.word, register.width / 4);
      }
    }
    for (let bit = 0; bit < (c.bitCells || []).length; bit++) {
      const entry = c.bitCells[bit];
      if (!entry) continue;
      const known = c.word !== null && !Z.writeOnly(register);
      const value = known ? (c.word >>> bit) & 1 : null;
      entry.cell.textContent = known ? String(value) : '';
      entry.cell.classList.toggle('changed', !!((c.changedBits >>> bit) & 1));
      if (entry.cell.tagName === 'BUTTON') {
        entry.cell.setAttribute('aria-label', `Bit ${bit} of ${entry.signal.name}: ${known ? value : 'not read'}` +
          (known ? `; press to write ${value ^ 1}` : ''));
        entry.cell.disabled = !known;
      } else if (entry.signal) entry.cell.title = `bit ${bit}: ${entry.signal.name}`;
    }
  };
})(window.ZEV);
