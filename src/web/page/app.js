// Marlin Server web panel: every router's destinations as a grid painted in
// the console's colours, kept live over the event stream, with a take form
// like the console's. The server decides every rule (colours, refusals);
// this page only shows what it answers.
'use strict';

(function () {
  const TOKEN_KEY = 'marlin.token';
  const USER_KEY = 'marlin.user';
  const CONFIRM_TEXT = 'Are you sure you would like to switch the router?';
  const LEVEL_COUNT = 8;
  const RECONNECT_FIRST_MS = 1000;
  const RECONNECT_MAX_MS = 15000;

  const $ = (id) => document.getElementById(id);

  const state = {
    token: sessionStorage.getItem(TOKEN_KEY) || '',
    user: null,
    colors: {},
    routers: new Map(),   // router number -> {info, data, section, cells: Map, filter}
    order: [],
    socket: null,
    reconnectTimer: 0,
    reconnectDelay: RECONNECT_FIRST_MS,
    reconnected: false,
    loadGeneration: 0,
    take: null,           // {router, destination, cell}
  };

  // ---- HTTP ---------------------------------------------------------------

  class SessionEnded extends Error {}

  async function api(method, path, body) {
    const headers = {};
    if (state.token) headers.Authorization = 'Bearer ' + state.token;
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    let response;
    try {
      response = await fetch(path, {
        method,
        headers,
        body: body === undefined ? undefined : JSON.stringify(body),
        cache: 'no-store',
      });
    } catch (e) {
      return { status: 0, data: { error: 'network: the server cannot be reached' } };
    }
    let data = null;
    try {
      data = await response.json();
    } catch (e) {
      data = null;
    }
    if (response.status === 401 && path !== '/api/v1/login') {
      endSession('Your session has ended; log in again.');
      throw new SessionEnded();
    }
    return { status: response.status, data: data || {} };
  }

  function errorText(answer) {
    if (answer.data && typeof answer.data.error === 'string' && answer.data.error) return answer.data.error;
    return answer.status ? 'The server answered ' + answer.status + '.' : 'The server cannot be reached.';
  }

  // ---- Login and logout ---------------------------------------------------

  function showLogin(message) {
    closeTake();
    $('panel').hidden = true;
    $('login').hidden = false;
    $('login-message').textContent = message || '';
    $('login-password').value = '';
    $('login-user').focus();
  }

  function showPanel() {
    $('login').hidden = true;
    $('panel').hidden = false;
    $('login-message').textContent = '';
    const user = state.user;
    $('who').textContent = user ? user.user + ' (privilege ' + user.privilege + ')' : '';
  }

  function endSession(message) {
    state.token = '';
    state.user = null;
    sessionStorage.removeItem(TOKEN_KEY);
    sessionStorage.removeItem(USER_KEY);
    closeEvents();
    state.loadGeneration++;
    state.routers.clear();
    state.order = [];
    $('routers').replaceChildren();
    showLogin(message);
  }

  async function login(event) {
    event.preventDefault();
    const user = $('login-user').value;
    const password = $('login-password').value;
    $('login-submit').disabled = true;
    $('login-message').textContent = '';
    try {
      const answer = await api('POST', '/api/v1/login', { user, password });
      if (answer.status !== 200 || typeof answer.data.token !== 'string') {
        $('login-message').textContent = errorText(answer);
        $('login-password').value = '';
        $('login-password').focus();
        return;
      }
      state.token = answer.data.token;
      state.user = { user: answer.data.user, privilege: answer.data.privilege };
      sessionStorage.setItem(TOKEN_KEY, state.token);
      sessionStorage.setItem(USER_KEY, JSON.stringify(state.user));
      $('login-password').value = '';
      start();
    } finally {
      $('login-submit').disabled = false;
    }
  }

  async function logout() {
    try {
      await api('POST', '/api/v1/logout');
    } catch (e) {
      if (!(e instanceof SessionEnded)) throw e;
    }
    endSession('');
  }

  function start() {
    showPanel();
    loadAll();
    loadSalvos();
    openEvents();
  }

  // ---- Routers and cells --------------------------------------------------

  function panelMessage(text) {
    $('panel-message').textContent = text || '';
  }

  // Runs an API call and turns a finished session into silence: the login
  // form is already showing.
  async function guarded(work) {
    try {
      return await work();
    } catch (e) {
      if (e instanceof SessionEnded) return undefined;
      throw e;
    }
  }

  async function loadAll() {
    const generation = ++state.loadGeneration;
    await guarded(async () => {
      const answer = await api('GET', '/api/v1/routers');
      if (generation !== state.loadGeneration) return;
      if (answer.status !== 200 || !Array.isArray(answer.data.routers)) {
        panelMessage('Routers: ' + errorText(answer));
        return;
      }
      panelMessage('');
      state.colors = answer.data.colors || {};
      const wanted = answer.data.routers.map((info) => info.router);
      for (const r of [...state.routers.keys()]) {
        if (!wanted.includes(r)) {
          state.routers.get(r).section.remove();
          state.routers.delete(r);
        }
      }
      state.order = wanted;
      const container = $('routers');
      for (const info of answer.data.routers) {
        let entry = state.routers.get(info.router);
        if (!entry) {
          entry = makeRouter(info);
          state.routers.set(info.router, entry);
        }
        entry.info = info;
        container.appendChild(entry.section); // keeps the server's order
        renderHeader(entry, info.comm);
      }
      if (wanted.length === 0) panelMessage('No router is set up on any port.');
      await Promise.all(wanted.map((r) => refreshRouter(r)));
    });
  }

  function makeRouter(info) {
    const r = info.router;
    const section = document.createElement('section');
    section.className = 'router';
    section.id = 'router-' + r;
    section.dataset.router = String(r);

    const header = document.createElement('header');
    header.className = 'router-header';
    const title = document.createElement('h2');
    title.id = 'router-' + r + '-title';
    const comm = document.createElement('span');
    comm.className = 'comm';
    comm.dataset.router = String(r);
    const port = document.createElement('span');
    port.className = 'port';
    header.append(title, comm, port);
    section.setAttribute('aria-labelledby', title.id);

    const filterId = 'filter-' + r;
    const filterLabel = document.createElement('label');
    filterLabel.className = 'filter';
    filterLabel.htmlFor = filterId;
    filterLabel.textContent = 'Filter';
    const filter = document.createElement('input');
    filter.type = 'search';
    filter.id = filterId;
    filter.className = 'filter-box';
    filter.dataset.router = String(r);
    filter.setAttribute('aria-label', 'Filter');
    filter.autocomplete = 'off';
    filter.spellcheck = false;
    filterLabel.appendChild(filter);
    header.appendChild(filterLabel);

    const grid = document.createElement('div');
    grid.className = 'grid';
    grid.setAttribute('role', 'list');

    section.append(header, grid);
    const entry = { info, data: null, section, title, comm, port, grid, filter, cells: new Map(),
                    loading: null, again: false };
    for (const type of ['input', 'change', 'search']) filter.addEventListener(type, () => applyFilter(entry));
    return entry;
  }

  function renderHeader(entry, comm) {
    const info = entry.info;
    const name = (entry.data && entry.data.name) || info.name || '';
    entry.title.textContent = 'Router ' + info.router + (name.trim() ? ': ' + name.trim() : '');
    // 'none': no port serves the router, so nothing watches it.
    const up = comm === 'up';
    const none = comm === 'none';
    entry.comm.textContent = up ? 'comm up' : none ? 'comm none' : 'comm down';
    entry.comm.classList.toggle('down', !up && !none);
    entry.comm.classList.toggle('up', up);
    entry.comm.classList.toggle('none', none);
    const port = (entry.data && entry.data.port) || info.port;
    entry.port.textContent = port ? (port.kind === 'comm' ? 'COM ' : 'Net ') + port.number +
      (port.description ? ' \u2013 ' + port.description : '') : '';
  }

  // Re-reads one router; a read asked for while one is running is made
  // once more after it, so the last answer shown is never older than the
  // last change announced.
  function refreshRouter(r) {
    const entry = state.routers.get(r);
    if (!entry) return Promise.resolve();
    if (entry.loading) {
      entry.again = true;
      return entry.loading;
    }
    entry.loading = (async () => {
      do {
        entry.again = false;
        const answer = await guarded(() => api('GET', '/api/v1/routers/' + r));
        // A router dropped from the list (or a session ended) meanwhile
        // keeps nothing of the answer.
        if (!answer || state.routers.get(r) !== entry) return;
        if (answer.status !== 200 || !Array.isArray(answer.data.destinations)) {
          panelMessage('Router ' + r + ': ' + errorText(answer));
          return;
        }
        entry.data = answer.data;
        renderHeader(entry, answer.data.comm);
        renderCells(entry);
        if (state.take && state.take.router === r) {
          refreshTakeHold();
          refreshTakeProtect();
        }
      } while (entry.again);
    })().finally(() => {
      entry.loading = null;
    });
    return entry.loading;
  }

  function sourceLabel(data, number) {
    const source = data.sources.find((s) => s.number === number);
    return source ? source.label : '';
  }

  function renderCells(entry) {
    const data = entry.data;
    const r = data.router;
    const seen = new Set();
    let previous = null;
    for (const d of data.destinations) {
      seen.add(d.number);
      let cell = entry.cells.get(d.number);
      if (!cell) {
        cell = makeCell(r, d.number);
        entry.cells.set(d.number, cell);
      }
      // Keep the server's order without moving cells that are in place.
      const wantedAfter = previous ? previous.nextSibling : entry.grid.firstChild;
      if (wantedAfter !== cell) entry.grid.insertBefore(cell, wantedAfter);
      previous = cell;
      fillCell(cell, data, d);
    }
    for (const [number, cell] of entry.cells) {
      if (!seen.has(number)) {
        cell.remove();
        entry.cells.delete(number);
      }
    }
    applyFilter(entry);
  }

  function makeCell(r, d) {
    const cell = document.createElement('button');
    cell.type = 'button';
    cell.className = 'cell';
    cell.id = 'cell-' + r + '-' + d;
    cell.dataset.router = String(r);
    cell.dataset.destination = String(d);
    cell.setAttribute('role', 'listitem');
    const label = document.createElement('span');
    label.className = 'dest-label';
    const source = document.createElement('span');
    source.className = 'source';
    const number = document.createElement('span');
    number.className = 'source-number';
    const name = document.createElement('span');
    name.className = 'source-label';
    source.append(number, ' ', name);
    const hold = document.createElement('span');
    hold.className = 'hold-mark';
    const lock = document.createElement('span');
    lock.className = 'protect-mark';
    // The spaces keep the parts apart in the cell's spoken name.
    cell.append(label, ' ', source, ' ', hold, ' ', lock);
    cell.addEventListener('click', () => openTake(r, d, cell));
    return cell;
  }

  function fillCell(cell, data, d) {
    const label = d.label || '';
    const hasSource = Number.isInteger(d.source);
    const sourceName = hasSource ? sourceLabel(data, d.source) : '';
    cell.querySelector('.dest-label').textContent = label.trim() || 'Destination ' + d.number;
    cell.querySelector('.source-number').textContent = hasSource ? String(d.source) : '\u2013';
    cell.querySelector('.source-label').textContent = sourceName;
    cell.querySelector('.hold-mark').textContent = d.hold ? 'HELD' : '';
    // A padlock drawn by the style sheet; the words are for screen readers.
    const lock = cell.querySelector('.protect-mark');
    if (d.protectedBy) {
      const words = document.createElement('span');
      words.className = 'visually-hidden';
      words.textContent = 'Protected by ';
      lock.replaceChildren(padlock(), words, document.createTextNode(d.protectedBy));
    } else {
      lock.replaceChildren();
    }
    cell.dataset.protectedBy = d.protectedBy || '';
    cell.dataset.label = label;
    cell.dataset.source = hasSource ? String(d.source) : '';
    cell.dataset.color = String(d.color);
    cell.dataset.hold = d.hold ? 'true' : 'false';
    cell.style.backgroundColor = state.colors[String(d.color)] || '#ffffff';
    cell.style.color = '#000000';
  }

  function padlock() {
    const icon = document.createElement('span');
    icon.className = 'padlock';
    icon.setAttribute('aria-hidden', 'true');
    return icon;
  }

  function applyFilter(entry) {
    const text = entry.filter.value.trim().toLowerCase();
    for (const cell of entry.cells.values()) {
      cell.hidden = text !== '' && !(cell.dataset.label || '').toLowerCase().includes(text);
    }
  }

  // ---- Event stream -------------------------------------------------------

  function eventsState(text, bad) {
    const el = $('events-state');
    el.textContent = text;
    el.classList.toggle('bad', !!bad);
  }

  function openEvents() {
    closeEvents();
    if (!state.token) return;
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const socket = new WebSocket(scheme + '//' + location.host + '/api/v1/events?token=' +
      encodeURIComponent(state.token));
    state.socket = socket;
    eventsState('Connecting\u2026', true);
    socket.addEventListener('open', () => {
      if (state.socket !== socket) return;
      state.reconnectDelay = RECONNECT_FIRST_MS;
      eventsState('Live', false);
      // Whatever changed while the stream was away is read again.
      if (state.reconnected) loadAll();
      state.reconnected = false;
    });
    socket.addEventListener('message', (event) => {
      if (state.socket !== socket) return;
      let message;
      try {
        message = JSON.parse(event.data);
      } catch (e) {
        return;
      }
      handleEvent(message);
    });
    socket.addEventListener('close', () => {
      if (state.socket !== socket) return;
      state.socket = null;
      if (!state.token) return;
      eventsState('Reconnecting\u2026', true);
      const delay = state.reconnectDelay;
      state.reconnectDelay = Math.min(RECONNECT_MAX_MS, state.reconnectDelay * 2);
      state.reconnectTimer = setTimeout(() => {
        state.reconnectTimer = 0;
        state.reconnected = true;
        // A refused stream may mean the session ended: a read tells.
        guarded(() => api('GET', '/api/v1/routers')).then((answer) => {
          if (answer && state.token) openEvents();
        });
      }, delay);
    });
  }

  function closeEvents() {
    if (state.reconnectTimer) {
      clearTimeout(state.reconnectTimer);
      state.reconnectTimer = 0;
    }
    const socket = state.socket;
    state.socket = null;
    if (socket) socket.close();
    eventsState('', false);
  }

  function handleEvent(message) {
    if (!message || typeof message.type !== 'string') return;
    switch (message.type) {
      case 'crosspoint':
      case 'hold':
      case 'protect':
        if (state.routers.has(message.router)) refreshRouter(message.router);
        break;
      case 'salvo':
        salvoMessage('Salvo ' + message.name + ' fired by ' + message.user + ': ' + message.sent + ' of ' +
          message.total + ' takes sent.', message.sent === message.total);
        break;
      case 'salvos':
        loadSalvos();
        break;
      case 'link': {
        const entry = state.routers.get(message.router);
        if (entry) renderHeader(entry, message.up ? 'up' : 'down');
        break;
      }
      case 'reloaded':
        loadAll();
        break;
      default:
        break;
    }
  }

  // ---- Take form ----------------------------------------------------------

  function buildLevels() {
    const row = $('take-levels');
    for (let k = 0; k < LEVEL_COUNT; ++k) {
      const label = document.createElement('label');
      label.className = 'check level';
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.id = 'take-level-' + k;
      box.value = String(k);
      box.setAttribute('aria-label', String(k));
      label.append(box, document.createTextNode(String(k)));
      row.appendChild(label);
    }
  }

  function levelBoxes() {
    return [...$('take-levels').querySelectorAll('input[type=checkbox]')];
  }

  function openTake(r, d, cell) {
    const entry = state.routers.get(r);
    if (!entry || !entry.data) return;
    const data = entry.data;
    const dest = data.destinations.find((x) => x.number === d);
    if (!dest) return;
    state.take = { router: r, destination: d, cell };

    const name = (data.name || '').trim();
    $('take-router').textContent = 'Router ' + r + (name ? ': ' + name : '');
    $('take-destination').textContent = 'Destination (Output) ' + d + ' ( ' + (dest.label || '').trim() + ' )' +
      (dest.description && dest.description.trim() ? '  ' + dest.description.trim() : '');

    const select = $('take-source');
    select.replaceChildren();
    for (const s of data.sources) {
      const option = document.createElement('option');
      option.value = String(s.number);
      option.textContent = s.number + ' ( ' + (s.label || '').trim() + ' )' +
        (s.description && s.description.trim() ? '  ' + s.description.trim() : '');
      select.appendChild(option);
    }
    if (Number.isInteger(dest.source) && data.sources.some((s) => s.number === dest.source)) {
      select.value = String(dest.source);
    } else {
      select.selectedIndex = data.sources.length ? 0 : -1;
    }
    for (const box of levelBoxes()) box.checked = true;
    $('take-comment').value = '';
    $('take-high').checked = !!dest.hold;
    refreshTakeProtect();
    takeMessage('', false);
    setTakeBusy(false);

    $('take-overlay').hidden = false;
    $('app').inert = true;
    document.body.classList.add('dialog-open');
    select.focus();
  }

  // A hold set or cleared elsewhere while the form is open shows in its
  // "Enable High Priority" box as long as the operator has not touched it.
  function refreshTakeHold() {
    const take = state.take;
    const entry = take && state.routers.get(take.router);
    if (!entry || !entry.data || $('take-high').dataset.touched === 'true') return;
    const dest = entry.data.destinations.find((x) => x.number === take.destination);
    if (dest) $('take-high').checked = !!dest.hold;
  }

  // The form's protect line and button follow the destination's protect.
  function refreshTakeProtect() {
    const take = state.take;
    const entry = take && state.routers.get(take.router);
    if (!entry || !entry.data) return;
    const dest = entry.data.destinations.find((x) => x.number === take.destination);
    const owner = dest && dest.protectedBy;
    if (owner) {
      $('take-protect-state').replaceChildren(padlock(), document.createTextNode('Protected by ' + owner));
    } else {
      $('take-protect-state').replaceChildren();
    }
    $('take-protect').textContent = owner ? 'Release Protect' : 'Protect';
    $('take-protect').setAttribute('aria-label', owner ? 'Release Protect' : 'Protect');
  }

  async function toggleProtect() {
    const current = state.take;
    if (!current) return;
    const entry = state.routers.get(current.router);
    const dest = entry && entry.data && entry.data.destinations.find((x) => x.number === current.destination);
    const method = dest && dest.protectedBy ? 'DELETE' : 'PUT';
    const answer = await guarded(() =>
      api(method, '/api/v1/routers/' + current.router + '/protects/' + current.destination));
    if (!answer || state.take !== current) return;
    if (answer.status !== 200) {
      takeMessage(errorText(answer), false);
      return;
    }
    takeMessage(method === 'PUT' ? 'Destination protected.' : 'Protect released.', true);
    await refreshRouter(current.router);
    refreshTakeProtect();
  }

  // ---- Salvos -------------------------------------------------------------

  function salvoMessage(text, ok) {
    const el = $('salvo-message');
    el.textContent = text;
    el.classList.toggle('ok', !!ok);
  }

  function takeLine(t) {
    return t.router + ' ' + t.destination + ' ' + t.source + ' ' + (t.levels || []).join('');
  }

  async function loadSalvos() {
    const answer = await guarded(() => api('GET', '/api/v1/salvos'));
    if (!answer) return;
    if (answer.status !== 200 || !Array.isArray(answer.data.salvos)) {
      salvoMessage('Salvos: ' + errorText(answer), false);
      return;
    }
    const list = $('salvo-list');
    list.replaceChildren();
    for (const salvo of answer.data.salvos) {
      const item = document.createElement('li');
      const name = document.createElement('span');
      name.className = 'salvo-name';
      name.textContent = salvo.name;
      const count = document.createElement('span');
      count.textContent = '(' + salvo.takes.length + ' takes)';
      const fire = document.createElement('button');
      fire.type = 'button';
      fire.textContent = 'Fire';
      fire.setAttribute('aria-label', 'Fire ' + salvo.name);
      fire.addEventListener('click', () => fireSalvo(salvo));
      const edit = document.createElement('button');
      edit.type = 'button';
      edit.textContent = 'Edit';
      edit.setAttribute('aria-label', 'Edit ' + salvo.name);
      edit.addEventListener('click', () => {
        $('salvo-name').value = salvo.name;
        $('salvo-comment').value = salvo.comment || '';
        $('salvo-takes').value = salvo.takes.map(takeLine).join('\n');
        $('salvo-editor').open = true;
        $('salvo-name').focus();
      });
      const remove = document.createElement('button');
      remove.type = 'button';
      remove.textContent = 'Delete';
      remove.setAttribute('aria-label', 'Delete ' + salvo.name);
      remove.addEventListener('click', () => deleteSalvo(salvo));
      item.append(name, ' ', count, ' ', fire, ' ', edit, ' ', remove);
      list.appendChild(item);
    }
  }

  async function fireSalvo(salvo) {
    const lines = salvo.takes.map((t) => 'Router ' + t.router + ': destination ' + t.destination + ' <- source ' + t.source);
    if (!window.confirm('Fire salvo ' + salvo.name + '? It switches:\n' + lines.join('\n'))) return;
    const answer = await guarded(() =>
      api('POST', '/api/v1/salvos/' + encodeURIComponent(salvo.name) + '/fire', {}));
    if (!answer) return;
    if (answer.status !== 200) {
      salvoMessage(errorText(answer), false);
      return;
    }
    const parts = answer.data.results.map((r) => 'router ' + r.router + ' destination ' + r.destination + ': ' +
      r.result + (r.linkDown ? ' (link down, queued)' : '') + (r.error ? ' (' + r.error + ')' : ''));
    salvoMessage(answer.data.sent + ' of ' + answer.data.total + ' takes sent. ' + parts.join('; '),
      answer.data.sent === answer.data.total);
  }

  async function deleteSalvo(salvo) {
    if (!window.confirm('Delete salvo ' + salvo.name + '?')) return;
    const answer = await guarded(() => api('DELETE', '/api/v1/salvos/' + encodeURIComponent(salvo.name)));
    if (!answer) return;
    salvoMessage(answer.status === 200 ? 'Salvo ' + salvo.name + ' deleted.' : errorText(answer), answer.status === 200);
    loadSalvos();
  }

  async function saveSalvo(event) {
    event.preventDefault();
    const takes = [];
    const lines = $('salvo-takes').value.split('\n').map((l) => l.trim()).filter((l) => l);
    for (const line of lines) {
      const m = /^(\d+)\s+(\d+)\s+(\d+)(?:\s+([0-7]+))?$/.exec(line);
      if (!m) {
        salvoMessage('Not a take: "' + line + '" (router destination source [levels])', false);
        return;
      }
      const take = { router: Number(m[1]), destination: Number(m[2]), source: Number(m[3]) };
      if (m[4]) take.levels = [...m[4]].map(Number);
      takes.push(take);
    }
    const name = $('salvo-name').value;
    const answer = await guarded(() => api('PUT', '/api/v1/salvos/' + encodeURIComponent(name),
      { comment: $('salvo-comment').value, takes }));
    if (!answer) return;
    if (answer.status !== 200) {
      salvoMessage(errorText(answer), false);
      return;
    }
    salvoMessage('Salvo ' + name + ' saved.', true);
    loadSalvos();
  }

  function closeTake() {
    const take = state.take;
    state.take = null;
    $('take-overlay').hidden = true;
    $('app').inert = false;
    $('take-high').dataset.touched = 'false';
    document.body.classList.remove('dialog-open');
    if (take && take.cell && take.cell.isConnected) take.cell.focus();
  }

  function takeMessage(text, ok) {
    const el = $('take-message');
    el.textContent = text;
    el.classList.toggle('ok', !!ok);
  }

  function setTakeBusy(busy) {
    for (const id of ['take-take', 'take-done']) $(id).disabled = busy;
  }

  async function take(andDone) {
    const current = state.take;
    if (!current) return;
    if (!window.confirm(CONFIRM_TEXT)) return;
    const body = {
      source: Number($('take-source').value),
      destination: current.destination,
      levels: levelBoxes().filter((b) => b.checked).map((b) => Number(b.value)),
      comment: $('take-comment').value,
      highPriority: $('take-high').checked,
    };
    takeMessage('', false);
    setTakeBusy(true);
    try {
      const answer = await guarded(() => api('POST', '/api/v1/routers/' + current.router + '/take', body));
      if (!answer || state.take !== current) return;
      if (answer.status !== 202) {
        takeMessage(errorText(answer), false);
        return;
      }
      if (andDone) {
        closeTake();
        return;
      }
      takeMessage('Take sent: source ' + body.source + ' to destination ' + body.destination +
        (answer.data.displaced ? ' (it took the place of a command waiting for the router)' : '') + '.', true);
    } finally {
      setTakeBusy(false);
    }
  }

  // ---- Start --------------------------------------------------------------

  function init() {
    buildLevels();
    $('login-form').addEventListener('submit', login);
    $('logout').addEventListener('click', () => guarded(logout));
    $('take-take').addEventListener('click', () => take(false));
    $('take-done').addEventListener('click', () => take(true));
    $('take-close').addEventListener('click', closeTake);
    $('take-protect').addEventListener('click', () => toggleProtect());
    $('salvo-form').addEventListener('submit', saveSalvo);
    $('take-high').addEventListener('change', () => {
      $('take-high').dataset.touched = 'true';
    });
    $('take-form').addEventListener('submit', (e) => e.preventDefault());
    $('take-overlay').addEventListener('click', (e) => {
      if (e.target === $('take-overlay')) closeTake();
    });
    document.addEventListener('keydown', (e) => {
      if (e.key === 'Escape' && state.take) closeTake();
    });

    if (state.token) {
      try {
        state.user = JSON.parse(sessionStorage.getItem(USER_KEY) || 'null');
      } catch (e) {
        state.user = null;
      }
      start();
    } else {
      showLogin('');
    }
  }

  init();
})();
