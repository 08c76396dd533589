// Register sets through the service (one format, saved, compared and applied there): save
// the device's values to a file, load a file and see it against the device, compare the
// device with its defaults, apply all or a selection. And the session's write history, each
// write undoable.
'use strict';

(function (Z) {
  const { el, $ } = Z;
  const history = [];
  let nextEntry = 1;

  // ---- differences: from a loaded set, or from the defaults ----
  Z.differencesOf = (name) => (Z.diffs && Z.diffs.byRegister.get(name)) || [];
  // A value of a comparison as the library writes it ("0000001F/h", "31/d"), in the chosen
  // radix: a field's as its editor shows it, a memory word's as the memory table does.
  Z.diffValue = function (register, diff, which) {
    const text = String(diff[which]);
    const m = /^([0-9A-Fa-f]+)\/([hd])$/i.exec(text);
    if (!m) return text;
    const value = parseInt(m[1], m[2].toLowerCase() === 'h' ? 16 : 10);
    const signal = diff.signal && register && register.signals.find((s) => s.name === diff.signal);
    if (signal) return Z.fieldText(signal, value);
    return Z.radix() === 'dec' ? String(value >>> 0) : Z.hex(value, 8);
  };

  function stamp() {
    const d = new Date();
    const two = (n) => String(n).padStart(2, '0');
    return `${d.getFullYear()}${two(d.getMonth() + 1)}${two(d.getDate())}-${two(d.getHours())}${two(d.getMinutes())}${two(d.getSeconds())}`;
  }

  async function save() {
    const scope = document.querySelector('input[name="set-scope"]:checked').value;
    const memories = $('set-memories').checked;
    let registers = [];
    if (scope === 'open') {
      if (!Z.current) { Z.say($('save-message'), 'error', 'open a register first, or choose another scope'); return; }
      registers = [Z.current.register.name];
    } else if (scope === 'shown') {
      registers = Z.shownRegisters().filter((name) => memories || !Z.isMemory(Z.byName.get(name)));
      if (!registers.length) { Z.say($('save-message'), 'error', 'the search shows no register'); return; }
    }
    const answer = await Z.call('POST', 'sets/save', { registers, memories });
    if (answer.status !== 200) { Z.say($('save-message'), 'error', Z.failed('Save set', answer).text); return; }
    const name = `zev-set-${stamp()}.json`;
    Z.download(name, JSON.stringify(answer.body.set, null, 1) + '\n', 'application/json');   // as zevctl writes it
    const skipped = answer.body.skipped.length ? `; ${answer.body.skipped.length} write-only registers skipped` : '';
    $('save-dialog').close();
    Z.notify('ok', `Set of ${answer.body.set.registers.length} registers saved as ${name}${skipped}`);
  }

  // Holds the device against a set (or, with none, against its defaults) and shows every
  // differing field in the tree, the open register and the Set panel.
  async function compare(set, label, source) {
    const answer = await Z.call('POST', 'sets/compare', set ? { set } : {});
    if (answer.status !== 200) { Z.failed(`Compare with ${source}`, answer); return; }
    const byRegister = new Map();
    for (const d of answer.body.differences) {
      if (!byRegister.has(d.register)) byRegister.set(d.register, []);
      byRegister.get(d.register).push(d);
    }
    Z.diffs = { set, label, source, list: answer.body.differences, byRegister,
      compared: answer.body.compared, skipped: answer.body.skipped };
    Z.markDifferences(byRegister);
    showPanel();
    Z.showTab('set');
    if (Z.current) Z.showValues();
    const n = answer.body.differences.length;
    Z.notify(n ? 'warn' : 'ok', `${source}: ${n} of ${answer.body.compared} ${n === 1 ? 'value differs' : 'values differ'} from the device`);
  }
  Z.compareWithDefaults = () => compare(null, 'default', 'the defaults');

  async function load(file) {
    let set;
    try { set = JSON.parse(await file.text()); } catch (e) {
      Z.notify('error', `${file.name} is not a register set (not JSON: ${e.message})`);
      return;
    }
    await compare(set, 'set', file.name);
  }

  // The set to apply: the loaded one, or for the defaults one made of the differences' values.
  function setToApply() {
    if (Z.diffs.set) return Z.diffs.set;
    const registers = [];
    for (const [name, list] of Z.diffs.byRegister) {
      const signals = {};
      for (const d of list) if (d.signal) signals[d.signal] = d.set;
      if (Object.keys(signals).length) registers.push({ name, signals });
    }
    return { format: 'rl_zev register set 1', device: Z.map.device, registers };
  }

  // What to apply: fields by name, a memory's words as runs of consecutive words (the other
  // words of the memory stay as they are).
  function onlyOf(items) {
    const only = [];
    const seen = new Set();
    for (const item of items.slice().sort((a, b) => a.register.localeCompare(b.register) || (a.word ?? -1) - (b.word ?? -1))) {
      if (item.word === undefined) {
        const key = item.register + '.' + (item.signal || '');
        if (!seen.has(key)) only.push(item.signal ? { register: item.register, signal: item.signal } : { register: item.register });
        seen.add(key);
        continue;
      }
      const last = only[only.length - 1];
      if (last && last.register === item.register && last.start !== undefined && last.start + last.count === item.word) last.count++;
      else if (!(last && last.register === item.register && last.start !== undefined && item.word < last.start + last.count)) {
        only.push({ register: item.register, start: item.word, count: 1 });
      }
    }
    return only;
  }

  async function apply(all) {
    const chosen = [...$('set-list').querySelectorAll('input[type=checkbox]:checked')].map((box) => ({
      register: box.dataset.register, signal: box.dataset.signal || undefined,
      word: box.dataset.word !== undefined ? Number(box.dataset.word) : undefined }));
    if (!all && !chosen.length) { Z.say($('set-message'), 'error', 'choose the values to apply'); return; }
    const unique = onlyOf(all ? Z.diffs.list : chosen);
    // Apply all writes every differing value, not the whole set: what is equal stays as it is
    // (and unlocked).
    const body = { set: setToApply(), only: unique };
    if (!unique.length) { Z.say($('set-message'), 'ok', 'nothing differs: nothing to apply'); return; }
    const differences = Z.diffs.list;
    const source = Z.diffs.source;
    const answer = await Z.call('POST', 'sets/apply', body);
    if (answer.status !== 200) { Z.say($('set-message'), 'error', Z.failed('Apply', answer).text); return; }
    recordApply(differences, answer.body.results, source);
    const { written, refused, skipped } = answer.body;
    const refusedText = answer.body.results.filter((r) => r.status !== 200)
      .map((r) => `${r.register}${r.signal ? '.' + r.signal : ''}: ${r.error}`).join('\n');
    const text = `applied: ${written} written, ${refused} refused, ${skipped.length} read-only registers skipped` +
      (refusedText ? '\n' + refusedText : '');
    Z.notify(refused ? 'warn' : 'ok', text);
    await compare(Z.diffs.set, Z.diffs.label, Z.diffs.source);
    Z.say($('set-message'), refused ? 'warn' : 'ok', text);
    if (Z.current) await Z.refresh();
  }

  function close() {
    Z.diffs = null;
    Z.markDifferences(null);
    showPanel();
    if (Z.current) Z.showValues();
  }

  function showPanel() {
    const panel = $('set-panel');
    const d = Z.diffs;
    if (!d) {
      panel.replaceChildren(el('p', { className: 'note', text: 'Load a set (a file saved here, by zevctl or by the Python package), or compare with the defaults: every differing field is marked here, in the list and in the register.' }));
      return;
    }
    const items = [];
    for (const [name, list] of d.byRegister) {
      const register = Z.byName.get(name);
      const fields = list.map((diff) => {
        const id = `apply-${name}-${diff.signal || 'w' + diff.word}`;
        const box = el('input', { type: 'checkbox', id, 'data-register': name, 'data-signal': diff.signal || null,
          'data-word': diff.word !== undefined ? String(diff.word) : null });
        const what = diff.signal ? diff.signal : `word ${diff.word}`;
        return el('li', {}, box, el('label', { for: id }, el('a', { href: `#/${name}${diff.signal ? '/' + diff.signal : ''}`, text: what }),
          `: device ${Z.diffValue(register, diff, 'device')}, ${d.label} ${Z.diffValue(register, diff, 'set')}`));
      });
      items.push(el('li', {}, el('a', { href: '#/' + name, className: 'register', text: name }), el('ul', {}, ...fields)));
    }
    const readOnly = Z.readOnly ? 'read-only server: applying is refused' : null;
    panel.replaceChildren(
      el('p', { text: `${d.source}: ${d.list.length} of ${d.compared} values differ` +
        (d.skipped.length ? ` (${d.skipped.length} write-only registers not compared)` : '') }),
      el('div', { className: 'editor' },
        el('button', { type: 'button', id: 'apply-selected', text: 'Apply selected', disabled: !!readOnly, title: readOnly, onclick: () => apply(false) }),
        el('button', { type: 'button', id: 'apply-all', text: 'Apply all', disabled: !!readOnly || !d.list.length, title: readOnly, onclick: () => apply(true) }),
        el('button', { type: 'button', id: 'compare-again', text: 'Compare again', onclick: () => compare(d.set, d.label, d.source) }),
        el('button', { type: 'button', id: 'close-set', text: 'Close', onclick: close })),
      el('p', { className: 'message', id: 'set-message', role: 'status' }),
      el('ul', { id: 'set-list' }, ...items));
  }

  // ---- the write history of this session ----
  function decodeField(signal, word) {
    return word === null ? null : ((word >>> signal.low) & signal.max) >>> 0;
  }
  Z.record = function (register, operation, oldWord, newWord) {
    if (operation.signal) {
      const signal = register.signals.find((s) => s.name === operation.signal);
      let after = decodeField(signal, newWord);
      if (after === null) {     // write-only: the value sent
        const text = operation.values[0];
        const named = signal.enumerators.find((e) => e.name === text);
        after = named ? named.value : Z.parseNumber(text, signal.max, 'dec').value;
      }
      add({ register, signal, old: decodeField(signal, oldWord), new: after === undefined ? null : after });
    } else {
      add({ register, signal: null, old: oldWord, new: newWord === null ? parseInt(operation.values[0], 16) : newWord });
    }
  };
  Z.recordWords = function (register, start, oldWords, newWords) {
    add({ register, start, old: oldWords, new: newWords });
  };

  function add(entry) {
    entry.n = nextEntry++;
    entry.time = new Date();
    history.push(entry);
    showHistory();
  }

  // One History entry per apply: the values it wrote, each with the device's before, undone
  // together.
  function recordApply(differences, results, source) {
    const covers = (r, d) => r.status === 200 && r.register === d.register &&
      (r.signal ? r.signal === d.signal : r.start !== undefined ? d.word >= r.start && d.word < r.start + r.count : true);
    const parts = differences.filter((d) => results.some((r) => covers(r, d)))
      .map((d) => ({ register: d.register, signal: d.signal, word: d.word ?? undefined, old: d.device, new: d.set }));
    if (parts.length) add({ parts, source, register: null, signal: null });
  }
  // The writes that put a_parts' values back (which: 'old' or 'new'); consecutive words in one.
  function partOperations(parts, which) {
    const operations = [];
    for (const part of parts) {
      const last = operations[operations.length - 1];
      if (part.word === undefined) {
        operations.push(part.signal ? { op: 'write', register: part.register, signal: part.signal, values: [part[which]] }
          : { op: 'write', register: part.register, values: [part[which]] });
      } else if (last && last.op === 'writeWords' && last.register === part.register && last.start + last.words.length === part.word) {
        last.words.push(parseInt(part[which], 16));
      } else {
        operations.push({ op: 'writeWords', register: part.register, start: part.word, words: [parseInt(part[which], 16)] });
      }
    }
    return operations;
  }

  function describe(entry, which) {
    if (entry.parts) {
      const first = entry.parts[0];
      return Z.diffValue(Z.byName.get(first.register), first, which) + (entry.parts.length > 1 ? ' …' : '');
    }
    const v = entry[which];
    if (v === null || v === undefined) return '?';
    if (entry.start !== undefined) {
      const words = v.slice(0, 4).map((w) => Z.hex(w, 8)).join(' ');
      return v.length > 4 ? `${words} … (${v.length} words)` : words;
    }
    if (entry.signal) return Z.fieldText(entry.signal, v);
    return '0x' + Z.hex(v, entry.register.width / 4);
  }
  function what(entry) {
    if (entry.parts) return entry.parts.length === 1 ? (entry.parts[0].signal || `word ${entry.parts[0].word ?? ''}`.trim()) : `${entry.parts.length} values`;
    if (entry.start !== undefined) return `words ${entry.start} to ${entry.start + entry.new.length - 1}`;
    return entry.signal ? entry.signal.name : '(whole word)';
  }

  async function undoApply(entry, button) {
    const answers = await Z.batch(partOperations(entry.parts, 'old'));
    const failed = answers.find((a) => Z.judge(a, '').kind !== 'ok');
    const verdict = failed ? Z.judge(failed, '') : { kind: 'ok', text: `undone: the set ${entry.source} (${what(entry)})` };
    Z.notify(verdict.kind, verdict.text);
    if (verdict.kind === 'ok') {
      entry.undone = true;
      add(Object.assign({}, entry, { parts: entry.parts.map((p) => ({ ...p, old: p.new, new: p.old })), undoOf: entry.n, undone: false }));
      if (Z.diffs) await compare(Z.diffs.set, Z.diffs.label, Z.diffs.source);
      if (Z.current) await Z.refresh();
    } else if (button) button.focus();
  }

  async function undo(entry, button) {
    if (entry.parts) { await undoApply(entry, button); return; }
    const register = entry.register;
    let operation;
    if (entry.start !== undefined) operation = { op: 'writeWords', register: register.name, start: entry.start, words: entry.old };
    else if (entry.signal) operation = { op: 'write', register: register.name, signal: entry.signal.name, values: [Z.valueText(entry.signal, entry.old)] };
    else operation = { op: 'write', register: register.name, values: [Z.hex(entry.old, 8) + '/h'] };
    const [answer] = await Z.batch([operation]);
    const verdict = Z.judge(answer, `undone: ${register.name} ${what(entry)} back to ${describe(entry, 'old')}`);
    Z.notify(verdict.kind, verdict.text);
    if (verdict.kind === 'ok') {
      entry.undone = true;
      add(Object.assign({}, entry, { old: entry.new, new: entry.old, undoOf: entry.n, undone: false }));
      if (Z.current && Z.current.register === register) await Z.refresh();
    } else if (button) button.focus();
  }

  // A name that may break after each underscore, and only there.
  const breakable = (name) => name.split(/(?<=_)/).flatMap((part, i) => (i ? [el('wbr'), part] : [part]));

  function showHistory() {
    const rows = history.slice().reverse().map((entry) => {
      const unknown = !entry.parts && entry.old === null;
      const label = entry.parts ? `set ${entry.source}` : entry.register.name;
      const button = el('button', { type: 'button', text: 'Undo',
        'aria-label': `Undo write ${entry.n}: ${label} ${what(entry)}`,
        disabled: unknown || entry.undone || Z.readOnly,
        title: unknown ? 'the value before is not known (write-only register)' : entry.undone ? 'undone' : null });
      button.addEventListener('click', () => undo(entry, button));
      return el('tr', { 'data-entry': entry.n },
        el('td', { text: Z.time(entry.time).slice(0, 8) }),
        el('td', {}, entry.parts ? el('span', {}, ...breakable(label))
          : el('a', { href: '#/' + entry.register.name + (entry.signal ? '/' + entry.signal.name : '') }, ...breakable(label))),
        el('td', {}, ...breakable(what(entry) + (entry.undoOf ? ` (undo of ${entry.undoOf})` : ''))),
        el('td', { className: 'mono', text: describe(entry, 'old') }),
        el('td', { className: 'mono', text: describe(entry, 'new') }),
        el('td', {}, button));
    });
    $('history-panel').replaceChildren(rows.length
      ? el('table', { className: 'history', id: 'history' },
        el('thead', {}, el('tr', {}, ...['Time', 'Register', 'Signal', 'Old', 'New', ''].map((h, i) =>
          el('th', { scope: 'col', text: h, 'aria-label': i === 5 ? 'Undo' : null })))), el('tbody', {}, ...rows))
      : el('p', { className: 'note', text: 'Writes of this session appear here, newest first, each with Undo.' }));
  }
  Z.showHistory = showHistory;
  // A change of radix redraws the values, the ticks stay.
  Z.redrawSets = function () {
    const ticked = [...$('set-panel').querySelectorAll('input[type=checkbox]:checked')].map((box) => box.id);
    showPanel();
    for (const id of ticked) if ($(id)) $(id).checked = true;
  };

  Z.wireSets = function () {
    $('save-set').addEventListener('click', () => { Z.say($('save-message'), 'ok', ''); $('save-dialog').showModal(); });
    $('save-cancel').addEventListener('click', () => $('save-dialog').close());
    $('save-form').addEventListener('submit', (event) => { event.preventDefault(); save(); });
    $('load-set').addEventListener('click', () => $('set-file').click());
    $('set-file').addEventListener('change', () => {
      const file = $('set-file').files[0];
      $('set-file').value = '';
      if (file) load(file);
    });
    $('compare-defaults').addEventListener('click', Z.compareWithDefaults);
    showPanel();
    showHistory();
  };
})(window.ZEV);
