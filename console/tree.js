// The register tree: registers by block, a search over names, addresses, signals and
// enumerators that marks what it found, arrow keys along the list, and the marks of a
// loaded set's differences.
'use strict';

(function (Z) {
  const { el, $ } = Z;
  const SIGNAL_LIST_LIMIT = 400;   // signals listed under their registers during a search
  const groups = [];               // {block, details, summary, count, entries}
  const entries = new Map();       // register name -> {register, item, link, label, signalList, group, ...}

  const blockOf = (name) => name.split('_')[0];

  Z.buildTree = function () {
    const blocks = new Map();
    for (const register of Z.map.registers) {
      const block = blockOf(register.name);
      if (!blocks.has(block)) blocks.set(block, []);
      blocks.get(block).push(register);
    }
    const fragment = document.createDocumentFragment();
    for (const [block, registers] of [...blocks].sort((a, b) => a[0].localeCompare(b[0]))) {
      const list = el('ul');
      const count = el('span', { className: 'count', text: String(registers.length) });
      const summary = el('summary', {}, el('span', { text: block }), ' ', count);
      const group = { block, details: el('details', {}, summary, list), summary, count, entries: [], total: registers.length };
      for (const register of registers) {
        const label = el('span', { text: register.name });
        const link = el('a', { href: '#/' + register.name }, label,
          el('span', { className: 'addr', text: '0x' + Z.hex(register.address, 4) }));
        const signalList = el('ul', { className: 'signals', hidden: true });
        const item = el('li', {}, link, signalList);
        list.append(item);
        const entry = { register, item, link, label, signalList, group, listed: '',
          key: register.name.toLowerCase(), addr: Z.hex(register.address, 4).toLowerCase(),
          signalKeys: register.signals.map((s) => s.name.toLowerCase()),
          enumKeys: register.signals.map((s) => s.enumerators.map((e) => e.name.toLowerCase())) };
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
  // element is added, so the list is not laid out again for the marks).
  function mark(ranges, node, query) {
    if (!query || !node) return;
    const lower = node.textContent.toLowerCase();
    for (let at = lower.indexOf(query); at >= 0; at = lower.indexOf(query, at + query.length)) {
      const range = new Range();
      range.setStart(node, at);
      range.setEnd(node, at + query.length);
      ranges.push(range);
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
  Z.filter = function (text) {
    const query = text.trim().toLowerCase();
    const byAddress = query ? addressMatcher(query) : null;
    let registersFound = 0, signalsFound = 0;
    const found = new Map();
    if (query) {
      for (const [name, entry] of entries) {
        const signals = [];
        entry.register.signals.forEach((signal, i) => {
          const enums = entry.enumKeys[i].filter((e) => e.includes(query));
          if (entry.signalKeys[i].includes(query) || enums.length) signals.push({ signal, enums: enums.length });
        });
        const byName = entry.key.includes(query);
        const atAddress = byAddress !== null && byAddress(entry);
        if (byName || atAddress || signals.length) {
          found.set(name, { byName, atAddress, signals });
          registersFound++;
          signalsFound += signals.length;
        }
      }
    }
    const listSignals = query.length >= 2 && signalsFound <= SIGNAL_LIST_LIMIT;
    const ranges = [];
    const open = Z.current ? entries.get(Z.current.register.name) : null;
    for (const group of groups) {
      let matches = 0;
      for (const entry of group.entries) {
        const hit = found.get(entry.register.name);
        const visible = query === '' || hit !== undefined;
        if (entry.item.hidden === visible) entry.item.hidden = !visible;
        if (hit && hit.byName) mark(ranges, entry.label.firstChild, query);
        const byAddressNow = !!(hit && hit.atAddress);
        if (entry.link.classList.contains('by-address') !== byAddressNow) entry.link.classList.toggle('by-address', byAddressNow);
        // The signals found, with the enumerators that matched, listed under their register.
        const listed = listSignals && hit ? hit.signals.map((s) => s.signal.name + '/' + s.enums).join(',') : '';
        if (listed !== entry.listed) {
          entry.listed = listed;
          entry.signalList.replaceChildren(...(listed ? hit.signals : []).map(({ signal, enums }) => {
            const names = enums ? signal.enumerators.filter((e) => e.name.toLowerCase().includes(query)) : [];
            return el('li', {}, el('a', { href: `#/${entry.register.name}/${signal.name}` }, el('span', { text: signal.name }),
              names.length ? el('span', { className: 'enums', text: ': ' + names.slice(0, 4).map((e) => e.name).join(', ') +
                (names.length > 4 ? ', …' : '') }) : null));
          }));
          entry.signalList.hidden = listed === '';
        }
        if (listed) for (const span of entry.signalList.querySelectorAll('span')) mark(ranges, span.firstChild, query);
        if (hit) matches++;
      }
      group.details.hidden = query !== '' && matches === 0;
      group.details.open = query !== '' ? matches > 0 : (open !== null && open.group === group) || group.keepOpen === true;
      const countText = query === '' ? String(group.total) : `${matches} of ${group.total}`;
      if (group.count.textContent !== countText) group.count.textContent = countText;
    }
    if (window.CSS && CSS.highlights) CSS.highlights.set('search', new Highlight(...ranges));
    $('count').textContent = query === '' ? `${Z.map.registers.length} registers`
      : `${registersFound} of ${Z.map.registers.length} registers match, ${signalsFound} signals` +
        (signalsFound && !listSignals ? ' (type more to list them)' : '');
  };

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
    for (const [, entry] of entries) if (entry.link.hasAttribute('aria-current')) entry.link.removeAttribute('aria-current');
    const entry = entries.get(name);
    if (!entry) return;
    entry.link.setAttribute('aria-current', 'page');
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
  function visibleItems() {
    return [...$('tree').querySelectorAll('summary, a')].filter((node) => node.offsetParent !== null);
  }
  Z.wireTree = function () {
    const search = $('search');
    search.addEventListener('input', (event) => {
      const t0 = event.timeStamp;
      Z.filter(search.value);
      requestAnimationFrame(() => Z.timings.filter.push(performance.now() - t0));
    });
    search.addEventListener('keydown', (event) => {
      const items = visibleItems();
      if (event.key === 'Escape') { search.value = ''; Z.filter(''); return; }
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
