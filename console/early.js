'use strict';
// Runs first, in the page's head: the token from the address (#token=T opens the console,
// #token=T/AUD_CNTRL0/TRIG_SEL that signal too) into this tab's storage, and the device and its
// map asked for at once. On a busy machine their answers arrive while the page is still being
// read, not after its scripts have run.
window.zevTakeToken = function () {
  const match = /^#token=([^/&]+)(.*)$/.exec(location.hash);
  if (match) {
    sessionStorage.setItem('zevToken', decodeURIComponent(match[1]));
    const rest = match[2].replace(/^&/, '');
    history.replaceState(null, '', location.pathname + '#/' + rest.replace(/^\/+/, ''));
  }
  return sessionStorage.getItem('zevToken');
};

window.ZEV_EARLY = (function () {
  if (window.ZEV_REFERENCE) return null;
  const token = window.zevTakeToken();
  if (!token) return null;
  const ask = (path) => {
    const answer = fetch('/api/v1/' + path, { headers: { Authorization: 'Bearer ' + token } });
    answer.catch(() => {});  // (a failure is the console's to handle, when it takes the answer)
    return answer;
  };
  return { token, device: ask('device'), map: ask('map') };
})();
