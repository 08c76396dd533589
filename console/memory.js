// A memory: its words by pages of 64 (only that page is read), with each word's index and
// bus address, in hexadecimal or decimal; a range written, a range filled with one word,
// a range exported to a text file and imported from one, and the memory unlocked.
'use strict';

(function (Z) {
  const { el, $ } = Z;
  const PAGE = (Z.MEMORY_PAGE = 64);
  const PER_ROW = 8;

  const wordText = (w) => (Z.radix() === 'dec' ? String(w >>> 0) : Z.hex(w, 8));
  // The Words field's example, in the radix its words are read in.
  const wordsExample = () => (Z.radix() === 'dec' ? 'words: 26 43 60' : 'words: 1A 2B 3C');

  // The open page read now (the memory's lock state with it).
  Z.readMemory = async function () {
    const c = Z.current;
    const register = c.register;
    const start = c.page * PAGE;
    const count = Math.min(PAGE, register.words - start);
    const t0 = performance.now();
    const [state, words] = await Z.batch([{ op: 'state', register: register.name },
      { op: 'words', register: register.name, start, count }]);
    if (Z.current !== c) return false;
    if (state.status === 200) c.lock = state.lock;
    if (words.status === 200) {
      const same = c.words && c.wordsStart === start;
      c.changedWords = new Set();
      if (same) words.words.forEach((w, i) => { if (c.words[i] !== w) c.changedWords.add(start + i); });
      c.words = words.words.map((w) => w >>> 0);
      c.wordsStart = start;
      c.readAt = new Date();
      c.error = '';
    } else {
      c.error = Z.judge(words, 'read').text;
      Z.notify('error', `${register.name} words ${start} to ${start + count - 1} not read: ${c.error}`);
    }
    requestAnimationFrame(() => Z.timings.page.push({ register: register.name, start, ms: performance.now() - t0 }));
    return words.status === 200;
  };

  // Words typed as hexadecimal (or decimal in decimal mode; 0x and /h, /d mark either),
  // each checked before anything is sent.
  function parseWords(text, radix) {
    const words = [];
    for (const item of text.trim().split(/[\s,;]+/).filter(Boolean)) {
      const parsed = Z.parseNumber(item, 0xFFFFFFFF, radix || (Z.radix() === 'dec' ? 'dec' : 'hex'));
      if (parsed.error) return { error: parsed.error.replace('the maximum 4294967295 (0xFFFFFFFF)', 'a word (FFFFFFFF at most)') };
      words.push(parsed.value);
    }
    return { words };
  }
  function parseIndex(input, register, what) {
    const value = Number(input.value);
    if (input.value.trim() === '' || !Number.isInteger(value) || value < 0 || value >= register.words) {
      return { error: `${what} must be a word of ${register.name}: 0 to ${register.words - 1}` };
    }
    return { value };
  }

  const writing = new Set();  // memories with a write under way
  const writeControls = () => ['mem-write', 'mem-fill', 'mem-import'].map($).filter(Boolean);

  // A write of any length, in as many requests as the server's limits need: each request
  // reads a part's words (for History) and writes them, so a part is half the words one
  // request may carry, and at most what its body may hold. Progress and Cancel in the
  // message; Cancel stops before the next part, and what was written stays one History entry.
  async function writeWords(start, words, message, what) {
    const register = Z.current.register;
    if (start + words.length > register.words) {
      Z.say(message, 'error', `${words.length} words from word ${start} run past the memory's end (${register.words} words): not sent`);
      return;
    }
    const readable = !Z.writeOnly(register);
    const part = Math.max(1, Math.min(Math.floor(Z.limits.words / (readable ? 2 : 1)), Math.floor(Z.limits.bodyBytes / 12)));
    const parts = Math.ceil(words.length / part);
    // No second write of this memory from this page while one is under way (the memory's view
    // opened again meanwhile has them disabled too).
    if (writing.has(register.name)) { Z.say(message, 'warn', 'a write of this memory is under way: wait for it, or cancel it'); return; }
    writing.add(register.name);
    for (const control of writeControls()) control.disabled = true;
    try {
      await writePartsOf(register, start, words, message, what, readable, part, parts);
    } finally {
      writing.delete(register.name);
      if (Z.current && Z.current.register === register) for (const control of writeControls()) control.disabled = false;
    }
  }

  // (The message is found by its id each time: the memory's view may be opened again meanwhile.)
  async function writePartsOf(register, start, words, message, what, readable, part, parts) {
    const say = (kind, text) => { const shown = $(message.id) || message; Z.say(shown, kind, text); return shown; };
    let cancelled = false;
    const cancel = el('button', { type: 'button', className: 'cancel-write', text: 'Cancel', onclick: () => { cancelled = true; } });
    const before = [];
    let done = 0;
    let failed = null;
    for (let at = 0; at < words.length && !cancelled; at += part) {
      if (parts > 1) say('ok', `writing: ${done} of ${words.length} words written`).append(' ', cancel);
      const chunk = words.slice(at, at + part);
      const results = await Z.batch((readable ? [{ op: 'words', register: register.name, start: start + at, count: chunk.length }] : [])
        .concat([{ op: 'writeWords', register: register.name, start: start + at, words: chunk }]));
      const [read, written] = readable ? results : [null, results[0]];
      if (written.status !== 200 || (written.reports || []).some((r) => r.accessDenied)) { failed = written; break; }
      if (read && read.status === 200) before.push(...read.words);
      done += chunk.length;
      if ((written.reports || []).length) { failed = written; break; }
    }
    const verdict = failed ? Z.judge(failed, what) : cancelled && done < words.length
      ? { kind: 'warn', text: `cancelled: ${done} of ${words.length} words written from word ${start}` }
      : { kind: 'ok', text: what };
    say(verdict.kind, parts > 1 && verdict.kind === 'error' ? `${verdict.text} (${done} of ${words.length} words written before)` : verdict.text);
    if (verdict.kind !== 'ok') Z.notify(verdict.kind, `${register.name}: ${verdict.text}`);
    if (done > 0) Z.recordWords(register, start, readable && before.length === done ? before : null, words.slice(0, done));
    if (Z.current && Z.current.register === register) { await Z.readMemory(); Z.showMemory(); }
  }
  Z.writeWords = writeWords;

  Z.memoryView = function (register) {
    const c = Z.current;
    const served = !Z.reference;
    const pages = Math.ceil(register.words / PAGE);
    const parts = [];
    if (!served) {
      parts.push(el('p', { className: 'note', text: `${register.words} words of ${register.width} bits from address 0x${Z.hex(register.address, 4)}.` }));
      return el('section', {}, ...parts);
    }
    const writable = !Z.readOnly && !Z.readOnlyRegister(register);
    const why = Z.readOnly ? 'read-only server: writing is refused' : 'read-only memory: writes are refused';
    parts.push(el('div', { className: 'pager' },
      el('button', { type: 'button', id: 'page-previous', text: 'Previous page', onclick: () => Z.goPage(c.page - 1) }),
      el('label', { for: 'page', text: 'Page' }),
      el('input', { id: 'page', type: 'number', min: 1, max: pages, value: c.page + 1,
        onchange: (e) => Z.goPage(Number(e.target.value) - 1) }),
      el('span', { text: `of ${pages}` }),
      el('button', { type: 'button', id: 'page-next', text: 'Next page', onclick: () => Z.goPage(c.page + 1) }),
      el('button', { type: 'button', id: 'unlock-memory', text: 'Unlock memory', disabled: Z.readOnly,
        title: 'Hand the memory back to the application', onclick: unlockMemory })));
    parts.push(el('h3', { id: 'words-title' }));
    const head = el('tr', {}, el('th', { scope: 'col', text: 'Word' }), el('th', { scope: 'col', text: 'Address' }),
      ...Array.from({ length: PER_ROW }, (_, i) => el('th', { scope: 'col', text: '+' + i })));
    parts.push(el('div', { className: 'memory-box' },
      el('table', { className: 'memory', id: 'memory-table' }, el('thead', {}, head), el('tbody', { id: 'memory-words' }))));

    // Write a range; fill a range with one word.
    const start = el('input', { id: 'mem-start', type: 'number', min: 0, max: register.words - 1, value: c.page * PAGE, disabled: !writable });
    const words = el('input', { id: 'mem-words', type: 'text', className: 'mono', autocomplete: 'off', spellcheck: 'false',
      placeholder: wordsExample(), disabled: !writable });
    const writeMessage = el('p', { className: 'message', id: 'mem-message', role: 'status' });
    const idle = !writing.has(register.name);
    const write = el('button', { type: 'button', id: 'mem-write', text: 'Write range', disabled: !writable || !idle, title: writable ? null : why });
    write.addEventListener('click', () => {
      const at = parseIndex(start, register, 'Start word');
      const parsed = parseWords(words.value);
      if (at.error || parsed.error) { Z.say(writeMessage, 'error', (at.error || parsed.error) + ': not sent'); return; }
      if (!parsed.words.length) { Z.say(writeMessage, 'error', 'enter one or more words'); return; }
      writeWords(at.value, parsed.words, writeMessage, 'written');
    });
    const fillStart = el('input', { id: 'fill-start', type: 'number', min: 0, max: register.words - 1, value: 0, disabled: !writable });
    const fillCount = el('input', { id: 'fill-count', type: 'number', min: 1, max: register.words, value: register.words, disabled: !writable });
    const fillWord = el('input', { id: 'fill-word', type: 'text', className: 'mono', size: 10, value: '0', disabled: !writable });
    const fillMessage = el('p', { className: 'message', id: 'fill-message', role: 'status' });
    const fill = el('button', { type: 'button', id: 'mem-fill', text: 'Fill', disabled: !writable || !idle, title: writable ? null : why });
    fill.addEventListener('click', () => {
      const at = parseIndex(fillStart, register, 'Fill from');
      const count = Number(fillCount.value);
      const parsed = parseWords(fillWord.value);
      const error = at.error || parsed.error || (parsed.words.length !== 1 ? 'Fill with one word' : '') ||
        (!Number.isInteger(count) || count < 1 ? 'Count must be 1 or more' : '');
      if (error) { Z.say(fillMessage, 'error', error + ': not sent'); return; }
      writeWords(at.value, new Array(count).fill(parsed.words[0]), fillMessage, `${count} words filled`);
    });

    // Export a range to a text file; import one (written from its start, or the field's).
    const exportStart = el('input', { id: 'export-start', type: 'number', min: 0, max: register.words - 1, value: 0 });
    const exportCount = el('input', { id: 'export-count', type: 'number', min: 1, max: register.words, value: register.words });
    const fileMessage = el('p', { className: 'message', id: 'file-message', role: 'status' });
    const exportButton = el('button', { type: 'button', id: 'mem-export', text: 'Export' });
    exportButton.addEventListener('click', async () => {
      const at = parseIndex(exportStart, register, 'Export from');
      const count = Number(exportCount.value);
      if (at.error || !Number.isInteger(count) || count < 1 || at.value + count > register.words) {
        Z.say(fileMessage, 'error', at.error || `Count must be 1 to ${register.words - (at.value || 0)}`);
        return;
      }
      const [answer] = await Z.batch([{ op: 'words', register: register.name, start: at.value, count }]);
      if (answer.status !== 200) { const v = Z.judge(answer, ''); Z.say(fileMessage, 'error', v.text); Z.notify('error', `${register.name}: ${v.text}`); return; }
      const lines = [`# ${register.name} from word ${at.value}, ${count} words, hexadecimal`];
      for (let i = 0; i < answer.words.length; i += PER_ROW) lines.push(answer.words.slice(i, i + PER_ROW).map((w) => Z.hex(w, 8)).join(' '));
      const name = `${register.name}_${at.value}_${count}.txt`;
      Z.download(name, lines.join('\n') + '\n');
      Z.say(fileMessage, 'ok', `exported ${count} words to ${name}`);
    });
    const importFile = el('input', { id: 'mem-import', type: 'file', accept: '.txt,text/plain', disabled: !writable || !idle });
    importFile.addEventListener('change', async () => {
      const file = importFile.files[0];
      if (!file) return;
      const text = await file.text();
      importFile.value = '';
      const header = /^#\s*(\w+) from word (\d+)/m.exec(text);
      let at = header && header[1] === register.name ? Number(header[2]) : null;
      if (at === null) {
        const field = parseIndex(start, register, 'Start word');
        if (field.error) { Z.say(fileMessage, 'error', field.error); return; }
        at = field.value;
      }
      const body = text.split('\n').filter((line) => !line.trim().startsWith('#')).join(' ');
      const parsed = parseWords(body, 'hex');      // the file's words are hexadecimal
      if (parsed.error || !parsed.words.length) {
        Z.say(fileMessage, 'error', `${file.name}: ${parsed.error || 'no words in it'}: nothing written`);
        return;
      }
      writeWords(at, parsed.words, fileMessage, `imported ${parsed.words.length} words from ${file.name} at word ${at}`);
    });

    parts.push(el('h3', { text: 'Write' }),
      el('div', { className: 'editor' }, el('label', { for: 'mem-start', text: 'Start word' }), start,
        el('label', { for: 'mem-words', text: 'Words' }), words, write), writeMessage,
      el('div', { className: 'editor' }, el('label', { for: 'fill-start', text: 'Fill from word' }), fillStart,
        el('label', { for: 'fill-count', text: 'count' }), fillCount,
        el('label', { for: 'fill-word', text: 'with' }), fillWord, fill), fillMessage,
      el('h3', { text: 'Files' }),
      el('div', { className: 'editor' }, el('label', { for: 'export-start', text: 'Export from word' }), exportStart,
        el('label', { for: 'export-count', text: 'count' }), exportCount, exportButton),
      el('div', { className: 'editor' }, el('label', { for: 'mem-import', text: 'Import words from a file' }), importFile),
      fileMessage);
    return el('section', { className: 'memory-view' }, ...parts);
  };

  Z.showMemory = function () {
    const c = Z.current;
    const register = c.register;
    if ($('mem-words')) $('mem-words').placeholder = wordsExample();
    if (Z.reference || !$('memory-words')) return;
    const pages = Math.ceil(register.words / PAGE);
    const first = c.page * PAGE;
    const last = Math.min(first + PAGE, register.words) - 1;
    $('words-title').textContent = `Words ${first} to ${last} of ${register.words}` +
      (Z.radix() === 'dec' ? ' (decimal)' : ' (hexadecimal)');
    $('page').value = c.page + 1;
    $('page-previous').disabled = c.page === 0;
    $('page-next').disabled = c.page + 1 >= pages;
    $('lock-state').textContent = c.lock || '(not read)';
    $('read-at').textContent = c.readAt ? Z.time(c.readAt) : '(not read)';
    const diffs = new Map(Z.differencesOf(register.name).filter((d) => d.word !== undefined).map((d) => [d.word, d]));
    const body = $('memory-words');
    const rows = [];
    if (c.words && c.wordsStart === first) {
      for (let i = 0; i < c.words.length; i += PER_ROW) {
        const index = first + i;
        const cells = c.words.slice(i, i + PER_ROW).map((w, k) => {
          const diff = diffs.get(index + k);
          const td = el('td', { className: 'word' + (c.changedWords.has(index + k) ? ' changed' : '') + (diff ? ' differs' : ''),
            text: wordText(w), title: diff ? `${Z.diffs.label}: ${Z.diffValue(register, diff, 'set')}` : null });
          return td;
        });
        rows.push(el('tr', {}, el('th', { scope: 'row', text: String(index) }),
          el('td', { className: 'addr', text: '0x' + Z.hex(register.address + index, 5) }), ...cells));
      }
    }
    body.replaceChildren(...rows);
  };

  Z.goPage = async function (page) {
    const c = Z.current;
    const pages = Math.ceil(c.register.words / PAGE);
    c.page = Math.max(0, Math.min(pages - 1, page));
    if ($('mem-start')) $('mem-start').value = c.page * PAGE;
    await Z.readMemory();
    Z.showMemory();
  };

  async function unlockMemory() {
    const c = Z.current;
    const [answer, state] = await Z.batch([{ op: 'unlock', register: c.register.name, signal: 'ALL' },
      { op: 'state', register: c.register.name }]);
    if (state.status === 200) c.lock = state.lock;
    const verdict = Z.judge(answer, 'memory unlocked');
    Z.say($('mem-message'), verdict.kind, verdict.text);
    if (verdict.kind !== 'ok') Z.notify(verdict.kind, `${c.register.name}: ${verdict.text}`);
    await Z.readMemory();
    Z.showMemory();
  }
})(window.ZEV);
