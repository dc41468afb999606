'use strict';
// The console: the status and history arrive on one event stream; the rest is asked for.
const $ = (id) => document.getElementById(id);
let csrf = '';
let lastSeq = 0;

async function api(path, options) {
  const r = await fetch(path, Object.assign({credentials: 'same-origin'}, options || {}));
  if (r.status === 401) { window.location.replace('/login'); throw new Error('signed out'); }
  return r;
}

function since(iso) { return iso ? 'since ' + iso.replace('T', ' ') : ''; }

function lamp(id, state, text) {
  $(id).dataset.state = state;
  const small = $(id).querySelector('small');
  if (small) small.textContent = text;
}

function showStatus(s) {
  $('title').textContent = s.title || 'Tarvo Automation';
  lamp('lamp-master', s.master && s.master.up ? 'up' : 'down', since(s.master && s.master.since));
  if (s.slave && s.slave.used) lamp('lamp-slave', s.slave.up ? 'up' : 'down', since(s.slave.since));
  else lamp('lamp-slave', 'unused', 'not used');
  lamp('lamp-clock', s.clock === 'synchronised' ? 'up' : (s.clock === 'unknown' ? 'warn' : 'down'), s.clock || '');
  lamp('lamp-db', s.databaseUnreadable ? 'down' : 'up', s.databaseUnreadable || 'read');
  const n = s.next || {};
  $('next').textContent = n.title ? [n.date || n.day, n.time, n.title].join('  ') : 'No Events';
  $('events').textContent = s.events || '';
  $('runs').textContent = (s.runsInProgress || 0) + ' runs in progress, ' + (s.delayedWaiting || 0) + ' delayed';
  $('last-error').textContent = s.lastError || '';
  if (s.historySeq < lastSeq) { lastSeq = 0; $('history').textContent = ''; }  // the engine restarted
}

let upcomingAgain = 0;
function addHistory(h) {
  const list = $('history');
  if (h.lines.length) { clearTimeout(upcomingAgain); upcomingAgain = setTimeout(upcoming, 1000); }
  for (const l of h.lines) {
    if (l.seq <= lastSeq) continue;
    lastSeq = l.seq;
    const li = document.createElement('li');
    li.textContent = l.day + ' ' + l.time + '  ' + l.title;
    li.dataset.seq = l.seq;
    if (l.red) li.className = 'red';
    list.insertBefore(li, list.firstChild);
    while (list.children.length > 500) list.removeChild(list.lastChild);
  }
}

function live() {
  const es = new EventSource('/api/live?since=' + lastSeq);
  es.addEventListener('status', (e) => { $('stream').textContent = ''; showStatus(JSON.parse(e.data)); });
  es.addEventListener('history', (e) => addHistory(JSON.parse(e.data)));
  es.onerror = () => { $('stream').textContent = 'connection to the engine lost: trying again'; };
}

async function upcoming() {
  const r = await api('/api/preview?hours=24');
  if (!r.ok) return;
  const p = await r.json();
  const list = $('upcoming');
  list.textContent = '';
  for (const e of p.timed.slice(0, 200)) {
    const li = document.createElement('li');
    li.textContent = e.date + ' ' + e.time + '  ' + e.title + (e.state && e.state !== 'runs' ? '  (' + e.state + ')' : '');
    list.appendChild(li);
  }
  if (!p.timed.length) list.textContent = 'nothing in the next 24 hours';
}

async function check() {
  const r = await api('/api/check');
  if (!r.ok) return;
  const c = await r.json();
  const list = $('problems');
  list.textContent = '';
  const lines = (c.settings || []).concat((c.problems || []).map((p) => 'row ' + p.number + ' ' + (p.title || '') + ': ' + p.text + (p.warning ? ' (warning)' : '')));
  for (const text of lines) {
    const li = document.createElement('li');
    li.textContent = text;
    list.appendChild(li);
  }
  if (!lines.length) list.textContent = 'No problems';
}

function logQuery() {
  const q = new URLSearchParams({log: $('log').value, day: $('day').value, filter: $('filter').value});
  return '/api/logs?' + q.toString();
}

async function showLog(ev) {
  if (ev) ev.preventDefault();
  $('download').href = logQuery() + '&download=1';
  const r = await api(logQuery());
  $('logtext').textContent = r.ok ? await r.text() : 'cannot read the log (' + r.status + ')';
}

async function start() {
  const r = await api('/api/session');
  const s = await r.json();
  csrf = s.csrf;
  $('who').textContent = s.user + ' (' + s.role + ')';
  $('day').value = new Date().toLocaleDateString('sv');  // yyyy-mm-dd, local
  $('logform').addEventListener('submit', showLog);
  $('signout').addEventListener('click', async () => {
    await api('/api/logout', {method: 'POST', headers: {'X-CSRF-Token': csrf}});
    window.location.replace('/login');
  });
  live();
  upcoming();
  check();
  showLog();
  setInterval(upcoming, 60000);
  setInterval(check, 60000);
}

start();
