// The register tree: registers by block, a search over names, addresses, signals and
// enumerators that marks what it found, arrow keys along the list, and the marks of a
// loaded set's differences.
'use strict';

(function (Z) {
  const { el, $ } = Z;
  const SIGNAL_LIST_LIMIT = 400;   // signals listed under their registers during a search
  const groups = [];               // {block, details, summary, count, entries}
  const entries = new Map();       // register name -> {register, item, link, name, signalList, group, ...}

  const blockOf = (name) => name.split('_')[0];

  // A register's row and a listed signal's, cloned for each: cheaper than building every
  // element, and the name is a text node of the link itself (what the search marks).
  const registerRow = el('li', { className: 'register' }, el('a', {}, el('span', { className: 'addr' })));
  const signalRow = el('li', {}, el('a'));

  Z.buildTree = function () {
    const blocks = new Map();
    for (const register of Z.map.registers) {
      Z.byName.set(register.name, register);
      const block = blockOf(register.name);
      if (!blocks.has(block)) blocks.set(block, []);
      blocks.get(block).push(register);
    }
    const fragment = document.createDocumentFragment();
    // (compared as codes, not by locale: block names are capitals and digits, and the first
    // locale comparison builds a collator, tens of milliseconds of a page's start)
    for (const [block, registers] of [...blocks].sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0))) {
      const list = el('ul');
      const count = el('span', { className: 'count', text: String(registers.length) });
      const summary = el('summary', {}, el('span', { text: block }), ' ', count);
      const group = { block, details: el('details', {}, summary, list), summary, count, entries: [], total: registers.length };
      for (const register of registers) {
        const item = registerRow.cloneNode(true);
        const link = item.firstChild;
        const name = document.createTextNode(register.name);
        link.setAttribute('href', '#/' + register.name);
        link.prepend(name);
        link.lastChild.textContent = '0x' + Z.hex(register.address, 4);
        list.append(item);
        const entry = { register, item, link, name, signalList: null, group, listed: '', byAddress: false,
          key: register.name.toLowerCase(), addr: Z.hex(register.address, 4).toLowerCase(), text: null };
        group.entries.push(entry);
        entries.set(register.name, entry);
      }
      groups.push(group);
      fragment.append(group.details);
    }
    $('tree').replaceChildren(fragment);
    $('count').textContent = `${Z.map.registers.length} registers`;
  };

  // Each occurrence of the query in a text node, as ranges the search highlight paints (no
  // element is added, so the list is not laid out again for the marks). Static ranges: a live
  // range is kept up to date by every later change of the page, and a search makes thousands.
  function mark(ranges, node, query) {
    if (!query || !node) return;
    const lower = node.data.toLowerCase();
    for (let at = lower.indexOf(query); at >= 0; at = lower.indexOf(query, at + query.length)) {
      ranges.push(new StaticRange({ startContainer: node, startOffset: at, endContainer: node, endOffset: at + query.length }));
    }
  }

  // An address query: 0x and digits (that address), or three or more hexadecimal digits
  // (addresses that start with them, as 0E00 or 0E0).
  function addressMatcher(query) {
    const prefixed = /^0x([0-9a-f]{1,8})$/.exec(query);
    if (prefixed) { const value = parseInt(prefixed[1], 16); return (entry) => entry.register.address === value; }
    if (/^[0-9a-f]{3,8}$/.test(query)) return (entry) => entry.addr.startsWith(query);
    return null;
  }

  // Registers whose name or address matches, and registers with a signal whose name or one
  // of whose enumerators holds the text (those signals listed beneath them). Each block says
  // how many of its registers match; the open register's block stays open when cleared.
  // What the search looks in, made at the first search rather than while the page starts:
  // all of it in one text, so that most registers are passed over in one look.
  function searchKeys(entry) {
    const signals = entry.register.signals;
    entry.signalKeys = signals.map((s) => s.name.toLowerCase());
    entry.enumKeys = signals.map((s) => s.enumerators.map((e) => e.name.toLowerCase()));
    entry.text = [entry.key].concat(entry.signalKeys, ...entry.enumKeys).join('\n');
  }

  Z.filter = function (text) {
    const query = text.trim().toLowerCase();
    const byAddress = query ? addressMatcher(query) : null;
    let registersFound = 0, signalsFound = 0;
    const found = new Map();
    if (query) {
      for (const [name, entry] of entries) {
        if (entry.text === null) searchKeys(entry);
        const atAddress = byAddress !== null && byAddress(entry);
        if (!atAddress && !entry.text.includes(query)) continue;
        const signals = [];
        entry.signalKeys.forEach((key, i) => {
          const enums = entry.enumKeys[i].filter((e) => e.includes(query)).length;
          if (enums || key.includes(query)) signals.push({ signal: entry.register.signals[i], enums });
        });
        const byName = entry.key.includes(query);
        if (byName || atAddress || signals.length) {
          found.set(name, { byName, atAddress, signals });
          registersFound++;
          signalsFound += signals.length;
        }
      }
    }
    const listSignals = query.length >= 2 && signalsFound <= SIGNAL_LIST_LIMIT;
    const ranges = [];
    const tree = $('tree');
    if (tree.classList.contains('searching') !== (query !== '')) tree.classList.toggle('searching', query !== '');
    const open = Z.current ? entries.get(Z.current.register.name) : null;
    // Only what changed is written: an attribute set again still costs the list a style pass.
    for (const group of groups) {
      let matches = 0, lines = 1;
      for (const entry of group.entries) {
        const hit = found.get(entry.register.name);
        const visible = query === '' || hit !== undefined;
        if (entry.item.hidden === visible) entry.item.hidden = !visible;
        if (hit && hit.byName) mark(ranges, entry.name, query);
        const byAddressNow = !!(hit && hit.atAddress);
        if (entry.byAddress !== byAddressNow) {
          entry.byAddress = byAddressNow;
          entry.link.classList.toggle('by-address', byAddressNow);
        }
        // The signals found, with the enumerators that matched, listed under their register.
        const listed = listSignals && hit ? hit.signals.map((s) => s.signal.name + '/' + s.enums).join(',') : '';
        if (listed !== entry.listed) {
          entry.listed = listed;
          if (!entry.signalList) entry.item.append(entry.signalList = el('ul', { className: 'signals' }));
          entry.signalList.replaceChildren(...(listed ? hit.signals : []).map(({ signal, enums }) => signalItem(entry, signal, enums, query)));
          entry.signalList.hidden = listed === '';
        }
        if (listed) {
          for (const item of entry.signalList.children) {
            const link = item.firstChild;
            mark(ranges, link.firstChild, query);
            if (link.childNodes.length > 1) mark(ranges, link.lastChild.firstChild, query);
          }
        }
        if (hit) { matches++; lines += 1 + (listed ? hit.signals.length : 0); }
      }
      const hidden = query !== '' && matches === 0;
      if (group.details.hidden !== hidden) group.details.hidden = hidden;
      // A block out of sight is taken as this tall until it is drawn (a line is 24 px).
      const estimate = `${lines * 24}px`;
      if (group.estimate !== estimate) group.details.style.containIntrinsicBlockSize = group.estimate = estimate;
      const opened = query !== '' ? matches > 0 : (open !== null && open.group === group) || group.keepOpen === true;
      if (group.details.open !== opened) group.details.open = opened;
      const countText = query === '' ? String(group.total) : `${matches} of ${group.total}`;
      if (group.count.textContent !== countText) group.count.textContent = countText;
    }
    if (window.CSS && CSS.highlights) CSS.highlights.set('search', new Highlight(...ranges));
    $('count').textContent = query === '' ? `${Z.map.registers.length} registers`
      : `${registersFound} of ${Z.map.registers.length} registers match, ${signalsFound} signals` +
        (signalsFound && !listSignals ? ' (type more to list them)' : '');
  };

  // A signal found, listed under its register: its name, and the enumerators that matched.
  function signalItem(entry, signal, enums, query) {
    const item = signalRow.cloneNode(true);
    const link = item.firstChild;
    link.setAttribute('href', `#/${entry.register.name}/${signal.name}`);
    link.append(signal.name);
    const names = enums ? signal.enumerators.filter((e) => e.name.toLowerCase().includes(query)) : [];
    if (names.length) {
      link.append(el('span', { className: 'enums', text: ': ' + names.slice(0, 4).map((e) => e.name).join(', ') +
        (names.length > 4 ? ', …' : '') }));
    }
    return item;
  }

  // The registers the search shows, in the list's order.
  Z.shownRegisters = function () {
    const shown = [];
    for (const group of groups) {
      if (group.details.hidden) continue;
      for (const entry of group.entries) if (!entry.item.hidden) shown.push(entry.register.name);
    }
    return shown;
  };

  Z.markCurrent = function (name) {
    const entry = entries.get(name) || null;
    for (const [, other] of entries) {
      if (other !== entry && other.link.hasAttribute('aria-current')) other.link.removeAttribute('aria-current');
    }
    if (!entry) return;
    if (!entry.link.hasAttribute('aria-current')) entry.link.setAttribute('aria-current', 'page');
    if (!entry.group.details.open) entry.group.details.open = true;
  };

  // A loaded set's (or the defaults') differences: each differing register marked, with its
  // count, and its block too.
  Z.markDifferences = function (byRegister) {
    for (const group of groups) {
      let differing = 0;
      for (const entry of group.entries) {
        const n = byRegister ? (byRegister.get(entry.register.name) || []).length : 0;
        let badge = entry.link.querySelector('.diff-count');
        if (n && !badge) { badge = el('span', { className: 'diff-count' }); entry.link.append(badge); }
        if (badge && !n) badge.remove();
        if (n) { badge.textContent = `≠${n}`; badge.title = `${n} differ${n === 1 ? 's' : ''} from the set`; }
        entry.link.classList.toggle('differing', n > 0);
        if (n) differing++;
      }
      let badge = group.summary.querySelector('.diff-count');
      if (differing && !badge) { badge = el('span', { className: 'diff-count' }); group.summary.append(badge); }
      if (badge && !differing) badge.remove();
      if (differing) badge.textContent = `≠${differing}`;
    }
  };

  // Keyboard: from the search box the arrow keys go into the list (blocks and registers as
  // shown) and along it; right opens a block, left closes it; Enter opens a register.
  // Told from the list's own state (hidden, closed blocks), not from the layout, which a
  // key pressed while the list changes would otherwise have to wait for.
  function inSight(node) {
    for (let at = node.parentElement; at.id !== 'tree'; at = at.parentElement) {
      if (at.hidden) return false;
      if (at.tagName === 'DETAILS' && !at.open && node.parentElement !== at) return false;
    }
    return true;
  }
  function visibleItems() {
    return [...$('tree').querySelectorAll('summary, a')].filter(inSight);
  }
  Z.wireTree = function () {
    const search = $('search');
    search.addEventListener('input', (event) => {
      const t0 = event.timeStamp;
      Z.filter(search.value);
      requestAnimationFrame(() => Z.timings.filter.push(performance.now() - t0));
    });
    search.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') { search.value = ''; Z.filter(''); return; }
      if (event.key !== 'Enter' && event.key !== 'ArrowDown') return;
      const items = visibleItems();
      if (event.key === 'Enter') {
        const first = items.find((node) => node.tagName === 'A');
        if (first) { location.hash = first.getAttribute('href'); event.preventDefault(); }
      }
      if (event.key === 'ArrowDown' && items.length) {
        (search.value.trim() ? items.find((node) => node.tagName === 'A') || items[0] : items[0]).focus();
        event.preventDefault();
      }
    });
    $('tree').addEventListener('keydown', (event) => {
      if (!['ArrowDown', 'ArrowUp', 'Home', 'End', 'ArrowRight', 'ArrowLeft'].includes(event.key)) return;
      const items = visibleItems();
      const at = items.indexOf(document.activeElement);
      if (at < 0) return;
      const node = items[at];
      let next = null;
      if (event.key === 'ArrowDown') next = items[at + 1] || null;
      else if (event.key === 'ArrowUp') next = at === 0 ? search : items[at - 1];
      else if (event.key === 'Home') next = items[0];
      else if (event.key === 'End') next = items[items.length - 1];
      else if (event.key === 'ArrowRight' && node.tagName === 'SUMMARY') node.parentElement.open = true;
      else if (event.key === 'ArrowLeft') {
        const details = node.closest('details');
        details.open = false;
        next = details.querySelector('summary');
      } else return;
      event.preventDefault();
      if (next) next.focus();
    });
    // A block a person opened or closed stays so when the search is cleared.
    $('tree').addEventListener('click', (event) => {
      const summary = event.target.closest('summary');
      if (!summary || $('search').value.trim()) return;
      const group = groups.find((g) => g.summary === summary);
      if (group) group.keepOpen = !group.details.open;
    });
  };
})(window.ZEV);
