// The live panel: the server's event stream (bus transfers, reports, change-log lines), each
// line with the time it came, reports as readable lines; Pause holds what comes meanwhile,
// and a stream the server cannot take now is tried again when it says.
'use strict';

(function (Z) {
  const { el, $ } = Z;
  const LIVE_LINES = 500;    // lines kept in the panel, and held while paused
  const FLUSH_MS = 250;      // how often new lines are added
  const pending = [];        // lines waiting for the next frame
  const held = [];           // lines that came while paused
  let paused = false;
  let heldDropped = 0;
  // The server takes four streams at most: a page that goes away gives its stream back at
  // once, not when the server next finds the connection dead.
  const leaving = new AbortController();
  window.addEventListener('pagehide', () => leaving.abort());

  function status(text) {
    $('live-status').textContent = text;
  }

  function lineOf(type, data) {
    let parsed = null;
    try { parsed = JSON.parse(data); } catch (e) { /* plain text */ }
    if (!parsed) return { type, text: data };
    if (type === 'report') {
      return { type: parsed.accessDenied ? 'report refused' : 'report',
        text: `${parsed.accessDenied ? 'refused ' : ''}${parsed.file}:${parsed.line} ${parsed.function}: ${parsed.message}` };
    }
    if (type === 'dropped') return { type, text: `${parsed.count} events dropped (the panel fell behind)` };
    return { type, text: parsed.text !== undefined ? parsed.text : data };
  }

  function take(block) {
    let type = 'message', data = '';
    for (const line of block.split('\n')) {
      if (line.startsWith('event: ')) type = line.slice(7);
      else if (line.startsWith('data: ')) data += line.slice(6);
    }
    if (data === '') return;
    const line = Object.assign(lineOf(type, data), { time: Z.time() });
    const queue = paused ? held : pending;
    queue.push(line);
    if (queue.length > LIVE_LINES) {
      const extra = queue.length - LIVE_LINES;
      queue.splice(0, extra);
      if (paused) heldDropped += extra;
    }
    if (paused) $('pause').textContent = `Resume (${held.length + heldDropped} held)`;
    else if (pending.length === 1) setTimeout(flush, FLUSH_MS);
  }

  // A snapshot makes thousands of transfers, a memory page hundreds: they are shown a few
  // times a second, the newest LIVE_LINES of them, so that the page stays responsive.
  function flush() {
    const list = $('events');
    const fragment = document.createDocumentFragment();
    for (const { type, text, time } of pending.splice(0)) {
      fragment.append(el('li', { className: type }, el('span', { className: 'when', text: time }), ' ',
        el('span', { className: 'kind', text: type.split(' ')[0] }), ' ', text));
    }
    list.append(fragment);
    for (let extra = list.childElementCount - LIVE_LINES; extra > 0; extra--) list.firstChild.remove();
    const box = $('events-box');
    box.scrollTop = box.scrollHeight;
  }

  // The stream also tells the connection, with nobody acting: lost as it breaks, back as it
  // opens again (tried every second while the server is away).
  Z.follow = async function () {
    for (;;) {
      let wait = 1;
      try {
        const response = await fetch(Z.API + 'events', { headers: { Authorization: 'Bearer ' + Z.token }, signal: leaving.signal });
        if (response.status === 401) { status('The server refused the token.'); Z.setConnection('refused'); return; }
        Z.setConnection('connected');
        if (response.status !== 200) {
          wait = Number(response.headers.get('Retry-After')) || 5;
          let why = '';
          try { why = (await response.json()).error; } catch (e) { /* no body */ }
          status(`No live events now (HTTP ${response.status}${why ? ': ' + why : ''}); trying again in ${wait} s.`);
        } else {
          status('');
          $('live').dataset.streaming = 'true';
          const reader = response.body.getReader();
          const decoder = new TextDecoder();
          let buffer = '';
          for (;;) {
            const { value, done } = await reader.read();
            if (done) break;
            buffer += decoder.decode(value, { stream: true });
            let end;
            while ((end = buffer.indexOf('\n\n')) >= 0) {
              take(buffer.slice(0, end));
              buffer = buffer.slice(end + 2);
            }
          }
          status('The event stream ended; trying again.');
          Z.setConnection('unreachable', 'the event stream ended');
        }
      } catch (e) {
        if (leaving.signal.aborted) return;
        status(`The event stream broke off (${e.message}); trying again in ${wait} s.`);
        Z.setConnection('unreachable', `the event stream broke off (${e.message})`);
      }
      delete $('live').dataset.streaming;
      await new Promise((resolve) => setTimeout(resolve, wait * 1000));
    }
  };

  Z.wireLive = function () {
    $('pause').addEventListener('click', () => {
      paused = !paused;
      $('pause').setAttribute('aria-pressed', String(paused));
      if (!paused) {
        if (heldDropped) pending.push({ type: 'dropped', text: `${heldDropped} events dropped while paused`, time: Z.time() });
        pending.push(...held.splice(0));
        heldDropped = 0;
        flush();
      }
      $('pause').textContent = paused ? 'Resume (0 held)' : 'Pause';
    });
    $('clear').addEventListener('click', () => $('events').replaceChildren());
  };
})(window.ZEV);
