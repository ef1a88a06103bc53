// The upload panel. It enhances the page's upload form where script runs: several files at once,
// chosen or dropped anywhere on the page, each sent as its own request with exactly the plain
// form's body (the file, then "submit" with the label the page shows, then "fm_Share"), two at a
// time, each with its progress, speed, a cancel button and its outcome. The server answers an
// upload as it answers the form: a redirect to the share list when it is stored, 401 when the
// visitor may not upload, and nothing at all when it failed. Without script the form works alone.
'use strict';
(() => {
  const form = document.querySelector('form[action="/upload"]');
  const textNode = document.getElementById('upload-texts');
  if (!form || !textNode || !window.FormData || !window.XMLHttpRequest) return;
  const fileField = form.elements.fm_objFile;
  const labelField = form.elements.submit;
  const modeField = form.elements.fm_Share;
  if (!fileField || !labelField || !modeField) return;
  const text = JSON.parse(textNode.textContent);

  const kParallel = 2;
  const kSpeedWindowMs = 3000;
  const onShareList = isShareList(location);

  const items = [];
  // Share names that were there before our uploads, and those we found to be ours: what is
  // neither in the share list after an upload is the upload's share.
  let known = onShareList ? new Set(shareRowsOf(document).map((share) => share.name)) : null;
  let seeding = false;
  const claimed = new Set();
  // A refusal holds the queue, so the files behind it do not each ask for a login.
  let held = false;

  // The panel: the form keeps its label and share mode; the file field and the button give way to
  // a drop zone that is a button too, the summary and one row per file.
  form.classList.add('up-enhanced');
  fileField.multiple = true;
  fileField.tabIndex = -1;
  labelField.hidden = true;
  const panel = element('div', 'up-panel');
  const chooser = element('button', 'up-drop');
  chooser.type = 'button';
  chooser.innerHTML =
      '<svg viewBox="0 0 24 24" aria-hidden="true" focusable="false">' +
      '<path d="M12 16V4m0 0L7 9m5-5 5 5M4 15v3a2 2 0 0 0 2 2h12a2 2 0 0 0 2-2v-3" fill="none"' +
      ' stroke="currentColor" stroke-width="2" stroke-linecap="round" stroke-linejoin="round"/>' +
      '</svg>';
  chooser.append(element('strong', '', text.choose), element('span', 'up-or', text.dropHere));
  const head = element('div', 'up-head');
  const summary = element('span', 'up-summary');
  const clear = element('button', 'up-clear', text.clear);
  clear.type = 'button';
  head.append(summary, clear);
  head.hidden = true;
  const list = element('ul', 'up-list');
  const live = element('div', 'up-live');
  live.setAttribute('role', 'status');
  live.setAttribute('aria-live', 'polite');
  panel.append(chooser, head, list, live);
  form.after(panel);

  const overlay = element('div', 'up-overlay');
  overlay.append(element('div', 'up-overlay-text', text.dropPage));
  overlay.hidden = true;
  document.body.append(overlay);

  chooser.addEventListener('click', () => fileField.click());
  fileField.addEventListener('change', () => {
    enqueue(Array.from(fileField.files, (file) => ({ file, folder: false })));
    fileField.value = '';
  });
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    fileField.dispatchEvent(new Event('change'));
  });
  clear.addEventListener('click', () => {
    for (let i = items.length - 1; i >= 0; --i) {
      if (isPending(items[i])) continue;
      items[i].parts.row.remove();
      items.splice(i, 1);
    }
    showSummary();
    chooser.focus();
  });

  // Files dragged over any part of the page show the drop zone over all of it.
  const carriesFiles = (event) =>
    event.dataTransfer && Array.from(event.dataTransfer.types || []).includes('Files');
  window.addEventListener('dragenter', (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    overlay.hidden = false;
  });
  window.addEventListener('dragover', (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = 'copy';
  });
  // The drop zone covers the window, so leaving it is leaving the window (or giving up).
  overlay.addEventListener('dragleave', (event) => {
    if (event.target === overlay) overlay.hidden = true;
  });
  window.addEventListener('drop', (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    overlay.hidden = true;
    enqueue(droppedFiles(event.dataTransfer));
  });
  window.addEventListener('beforeunload', (event) => {
    if (!items.some(isBusy)) return;
    event.preventDefault();
    event.returnValue = '';
  });

  function enqueue(entries) {
    if (entries.length === 0) return;
    const mode = modeField.value;  // the choice applies to the files given together
    for (const { file, folder } of entries) {
      const item = { file, mode, state: folder ? 'folder' : 'waiting', xhr: null, share: null };
      item.parts = rowFor(item);
      list.append(item.parts.row);
      items.push(item);
      render(item);
    }
    held = false;  // new files may come after a login in another window
    pump();
  }

  function pump() {
    if (!held && known === null && items.some(isPending)) seedKnown();
    if (!held && known !== null) {
      let sending = items.filter(isBusy).length;
      for (const item of items) {
        if (sending >= kParallel) break;
        if (item.state !== 'waiting') continue;
        send(item);
        ++sending;
      }
    }
    showSummary();
  }

  // Folder pages list a folder, not the shares: what the share list held before the batch is
  // asked for once.
  function seedKnown() {
    if (seeding) return;
    seeding = true;
    const request = new XMLHttpRequest();
    request.open('GET', '/');
    request.overrideMimeType('text/html; charset=utf-8');
    request.onloadend = () => {
      const page = request.status === 200 ? parse(request.responseText) : null;
      known = new Set(page ? shareRowsOf(page).map((share) => share.name) : []);
      pump();
    };
    request.send();
  }

  function send(item) {
    const body = new FormData();
    body.append('fm_objFile', item.file, item.file.name);
    body.append('submit', labelField.value);
    body.append('fm_Share', item.mode);
    const xhr = new XMLHttpRequest();
    item.xhr = xhr;
    item.state = 'sending';
    item.percent = 0;
    item.spoken = 0;
    item.speed = 0;
    item.samples = [[performance.now(), 0]];
    xhr.open('POST', form.action);
    xhr.overrideMimeType('text/html; charset=utf-8');
    xhr.upload.addEventListener('progress', (event) => {
      if (item.xhr === xhr && item.state === 'sending') progress(item, event);
    });
    xhr.upload.addEventListener('load', () => {
      if (item.xhr !== xhr || item.state !== 'sending') return;
      item.state = 'saving';
      render(item);
    });
    xhr.addEventListener('loadend', () => {
      if (item.xhr !== xhr) return;
      item.xhr = null;
      if (item.state === 'stopped') return;  // cancelled: already shown
      settle(item, xhr);
    });
    render(item);
    xhr.send(body);
  }

  function progress(item, event) {
    const now = performance.now();
    const samples = item.samples;
    samples.push([now, event.loaded]);
    while (samples.length > 2 && now - samples[0][0] > kSpeedWindowMs) samples.shift();
    const [since, from] = samples[0];
    if (now - since >= 400) item.speed = ((event.loaded - from) * 1000) / (now - since);
    // 100 only once the server has the whole body.
    item.percent = event.lengthComputable && event.total > 0 ?
        Math.min(99, Math.floor((event.loaded * 100) / event.total)) : 0;
    if (item.percent >= item.spoken + 25) {
      item.spoken = item.percent - (item.percent % 25);
      announce(`${item.file.name}: ${item.percent}%`);
    }
    render(item);
  }

  // The outcome, from the reply the upload got after its redirect was followed.
  function settle(item, xhr) {
    const reply = xhr.responseURL ? new URL(xhr.responseURL) : null;
    if (xhr.status === 401) {
      item.state = 'refused';
      held = true;
    } else if (xhr.status === 200 && reply && isShareList(reply)) {
      item.state = 'done';
      const page = parse(xhr.responseText);
      const shares = shareRowsOf(page);
      item.share = shareOf(item, shares);
      if (item.share) claimed.add(item.share.name);
      // A reply that misses a share found earlier is older than the list shown.
      if (onShareList && [...claimed].every((name) => shares.some((s) => s.name === name)))
        replaceRows(page);
    } else {
      item.state = 'failed';
    }
    render(item);
    pump();
    // The last file of a batch tells how the batch went as well.
    const ended = items.some(isPending) ? '' : ` ${summary.textContent}`;
    announce(`${item.file.name}: ${noteOf(item)}.${ended}`);
  }

  // The newest share of the list that is neither known nor another upload's, preferring one
  // named as the server names the file: the name itself, or "base-N.ext" when it was taken.
  function shareOf(item, shares) {
    const fresh = shares.filter((s) => !known.has(s.name) && !claimed.has(s.name));
    const name = item.file.name;
    const dot = name.lastIndexOf('.');
    const base = dot < 0 ? name : name.slice(0, dot);
    const extension = dot < 0 ? '' : name.slice(dot);
    const named = fresh.filter((s) => {
      if (s.name === name) return true;
      if (!s.name.startsWith(base + '-') || !s.name.endsWith(extension)) return false;
      return /^[0-9]+$/.test(s.name.slice(base.length + 1, s.name.length - extension.length));
    });
    return (named.length ? named : fresh).pop() || null;
  }

  function replaceRows(page) {
    const uploadRow = form.closest('tr');
    if (!uploadRow) return;
    const body = uploadRow.parentNode;
    for (const row of Array.from(body.children)) if (row.querySelector('td.no')) row.remove();
    for (const share of shareRowsOf(page)) {
      body.insertBefore(document.adoptNode(share.row), uploadRow);
    }
  }

  function cancel(item) {
    if (!isPending(item)) return;
    const xhr = item.xhr;
    item.state = 'stopped';
    item.xhr = null;
    if (xhr) xhr.abort();
    render(item);
    announce(`${item.file.name}: ${text.stopped}`);
    pump();
  }

  function retry(item) {
    if (held) {
      // Whoever retries after a refusal has logged in, or tries once more: all held files go.
      for (const other of items) if (other.state === 'refused') other.state = 'waiting';
      held = false;
    }
    item.state = 'waiting';
    for (const other of items) render(other);
    pump();
  }

  // Logging in happens in the browser's own prompt, which the login page's challenge brings up;
  // asking for it here keeps the page, and with it the queue.
  function logIn(event) {
    event.preventDefault();
    const request = new XMLHttpRequest();
    request.open('GET', '/index.htm');
    request.onloadend = () => {
      const refused = items.find((item) => item.state === 'refused');
      if (request.status === 200 && refused) retry(refused);
    };
    request.send();
  }

  function rowFor(item) {
    const row = element('li', 'up-item');
    const name = element('span', 'up-name', item.file.name);
    name.title = item.file.name;
    const size = element('span', 'up-size', formatBytes(item.file.size));
    const bar = element('div', 'up-bar');
    bar.setAttribute('role', 'progressbar');
    bar.setAttribute('aria-valuemin', '0');
    bar.setAttribute('aria-valuemax', '100');
    bar.setAttribute('aria-label', item.file.name);
    const fill = element('i');
    bar.append(fill);
    const note = element('span', 'up-note');
    const action = element('button', 'up-action');
    action.type = 'button';
    action.addEventListener('click', () => (isPending(item) ? cancel(item) : retry(item)));
    row.append(name, size, bar, note, action);
    return { row, name, size, bar, fill, note, action };
  }

  function noteOf(item) {
    switch (item.state) {
      case 'waiting': return text.waiting;
      case 'sending':
        return `${item.percent}%` + (item.speed > 0 ? ` · ${formatBytes(item.speed)}/s` : '');
      case 'saving': return text.saving;
      case 'done':
        return item.share && item.share.name !== item.file.name ?
            `${text.done} · ${text.savedAs} ${item.share.name}` : text.done;
      case 'refused': return text.refused;
      case 'failed': return text.failed;
      case 'folder': return text.folder;
      default: return text.stopped;
    }
  }

  function render(item) {
    const parts = item.parts;
    parts.row.dataset.state = item.state;
    const percent = item.state === 'saving' || item.state === 'done' ? 100 :
        item.state === 'sending' ? item.percent : 0;
    parts.fill.style.width = `${percent}%`;
    parts.bar.setAttribute('aria-valuenow', String(percent));
    parts.bar.hidden = !isPending(item);
    parts.note.textContent = noteOf(item);
    if (item.state === 'refused') {
      const login = element('a', 'up-login', text.login);
      login.href = '/index.htm';
      login.addEventListener('click', logIn);
      parts.note.append(' ', login);
    }
    // Done: the name leads to the new share.
    if (item.state === 'done' && item.share && parts.name.tagName !== 'A') {
      const link = element('a', 'up-name', item.file.name);
      link.href = item.share.href;
      link.title = item.share.name;
      parts.name.replaceWith(link);
      parts.name = link;
    }
    const action = parts.action;
    const canRetry = ['refused', 'failed', 'stopped'].includes(item.state);
    action.hidden = !(canRetry || item.state === 'waiting' || item.state === 'sending');
    action.classList.toggle('up-retry', canRetry);
    action.textContent = canRetry ? text.retry : '\u2715';
    action.title = canRetry ? text.retry : text.cancel;
    action.setAttribute('aria-label', `${canRetry ? text.retry : text.cancel}: ${item.file.name}`);
  }

  function showSummary() {
    const done = items.filter((item) => item.state === 'done').length;
    summary.textContent =
        text.count.replace('%1', String(done)).replace('%2', String(items.length));
    head.hidden = items.length === 0;
    clear.hidden = !items.some((item) => !isPending(item));
  }

  function announce(message) {
    live.textContent = message;
  }

  function isBusy(item) {
    return item.state === 'sending' || item.state === 'saving';
  }

  function isPending(item) {
    return item.state === 'waiting' || isBusy(item);
  }

  function droppedFiles(transfer) {
    const entries = [];
    if (transfer.items && transfer.items.length) {
      for (const entry of Array.from(transfer.items)) {
        if (entry.kind !== 'file') continue;
        const file = entry.getAsFile();
        const fileEntry = entry.webkitGetAsEntry ? entry.webkitGetAsEntry() : null;
        if (file) entries.push({ file, folder: Boolean(fileEntry && fileEntry.isDirectory) });
      }
    } else {
      for (const file of Array.from(transfer.files || [])) entries.push({ file, folder: false });
    }
    return entries;
  }

  // The shares a share list page lists, with their rows: the name is the link's "file=" value.
  function shareRowsOf(page) {
    const shares = [];
    for (const row of page.querySelectorAll('table.files tbody tr')) {
      if (!row.querySelector('td.no')) continue;
      const link = row.querySelector('td.name a[href^="download.htm?file="]');
      if (!link) continue;
      // Names are sent encoded, so an "&" in the value starts a flag such as the zip link's.
      const href = link.getAttribute('href').split('&')[0];
      shares.push({ name: decodeValue(href.slice(href.indexOf('=') + 1)), href, row });
    }
    return shares;
  }

  function decodeValue(value) {
    try {
      return decodeURIComponent(value.replace(/\+/g, ' '));
    } catch (error) {
      return value;
    }
  }

  function isShareList(url) {
    const path = url.pathname.toLowerCase();
    return path === '/' || (path === '/download.htm' && decodeValue(url.search) === '?file=/');
  }

  function parse(html) {
    return new DOMParser().parseFromString(html, 'text/html');
  }

  function formatBytes(count) {
    const units = ['B', 'KB', 'MB', 'GB', 'TB'];
    let unit = 0;
    while (count >= 1024 && unit < units.length - 1) {
      count /= 1024;
      ++unit;
    }
    const digits = unit === 0 ? 0 : count < 10 ? 1 : 0;
    return `${count.toFixed(digits)} ${units[unit]}`;
  }

  function element(tag, className, content) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (content !== undefined) node.textContent = content;
    return node;
  }
})();
