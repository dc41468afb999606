'use strict';
// The schedule's events and their history: a table of every row (rows equal but for their
// Number and day shown as one line), a form in the operator's words, and the changes made.
(function () {
  const $ = (id) => document.getElementById(id);
  const DAYS = ['Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Sunday'];
  const SHORT = ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun'];
  const ORDER = ['number', 'title', 'day', 'time', 'state', 'trigger', 'trigger_number', 'trigger_crosspoint',
    'priority', 'delay', 'condition', 'condition2', 'take', 'option', 'salvo', 'relay', 'opto', 'source_select',
    'gain', 'relay_opto', 'message', 'upload', 'kept'];
  const TRIGGERS = ['time', 'opto on', 'opto off', 'crosspoint', 'relay on', 'relay off'];
  const STATES = ['active', 'inactive', 'skip next', 'run once'];
  const BAUDS = [2400, 9600, 14400, 19200, 28800, 57600, 115200, 128000, 1200, 38400];
  const UPLOADS = ['none', 'input alphas', 'output alphas', 'opto alphas', 'relay alphas', 'inhibits', 'salvos',
    'buttons', 'input display lists', 'output display lists', 'relay configuration', 'module configuration',
    'console configuration'];
  const WHEN = ['none', 'crosspoint on', 'crosspoint off', 'relay on', 'relay off', 'opto on', 'opto off'];
  const is = (...words) => (t) => words.includes(t.sel);
  const on = (t) => t.sel !== 'none';
  const int = (name, label, def, show) => ({name, label, def: def === undefined ? 0 : def, kind: 'int', show: show || on});
  const text = (name, label, def, show) => ({name, label, def: def === undefined ? ' ' : def, kind: 'text', show: show || on});
  const condition = (key, label) => ({key, label, sel: 'when', zero: 'none', words: WHEN, fields: [
    int('source', 'source', 0, is('crosspoint on', 'crosspoint off')),
    int('output', 'output', 0, is('crosspoint on', 'crosspoint off')),
    int('relay', 'relay', 0, is('relay on', 'relay off')),
    int('opto', 'opto input', 0, is('opto on', 'opto off'))]});
  const viaIp = (t) => on(t) && ['tcp', 'udp'].includes(t.values.via);
  // The tables of a form: the selector word, the words it takes, and the fields shown for it.
  const CONDITIONS = [condition('condition', 'Condition 1'), condition('condition2', 'Condition 2')];
  const CROSSPOINT = {key: 'trigger_crosspoint', label: 'Crosspoint', sel: 'on', zero: 'never',
    words: ['routed', 'removed', 'first source', 'last source gone', 'never'],
    fields: [int('source', 'source', 0, () => true), int('output', 'output', 0, () => true)]};
  const ACTIONS = [
    {key: 'take', label: 'Take', sel: 'mode', zero: 'none',
      words: ['none', 'take', 'sum on', 'sum off', 'priority take', 'priority sum on', 'priority sum off'],
      fields: [int('source', 'source'), int('output', 'output')]},
    {key: 'salvo', label: 'Salvo', sel: 'mode', zero: 'none', words: ['none', 'fire'], fields: [int('number', 'salvo')]},
    {key: 'relay', label: 'Relay', sel: 'mode', zero: 'none', words: ['none', 'latch', 'release', 'momentary'],
      fields: [int('relay', 'relay')]},
    {key: 'opto', label: 'Opto output', sel: 'mode', zero: 'none', words: ['none', 'on', 'off'],
      fields: [int('opto', 'opto output')]},
    {key: 'gain', label: 'Gain', sel: 'mode', zero: 'none', words: ['none', 'source', 'destination', 'pan'],
      fields: [int('channel', 'channel (device for pan)'), int('level', 'level 0..2047', 1024)]},
    {key: 'source_select', label: 'Source select', sel: 'mode', zero: 'none', words: ['none', 'select'],
      fields: [int('source', 'source'), int('device', 'device')]},
    {key: 'relay_opto', label: 'Relay to opto', sel: 'mode', zero: 'none', words: ['none', 'associate'],
      fields: [int('relay', 'relay'), int('opto', 'opto')]},
    {key: 'message', label: 'Message', sel: 'content', zero: 'none', words: ['none', 'text', 'file', 'file decoded'],
      fields: [
        {name: 'via', label: 'via', def: 'none', kind: 'choice', words: ['none', 'tcp', 'udp', 'serial', 'switcher'], show: on,
          always: true},  // written with the content, as the selector is
        text('text', 'text (a file name for file; ^M is a carriage return)'),
        text('address', 'address', '0.0.0.0', viaIp), int('port', 'port', 0, viaIp),
        {name: 'method', label: 'broadcast', def: ' ', kind: 'choice', words: [' ', 'Broadcast'], show: viaIp},
        int('com', 'COM port', 1, (t) => on(t) && t.values.via === 'serial'),
        {name: 'baud', label: 'bit/s', def: 2400, kind: 'choice', words: BAUDS, show: (t) => on(t) && t.values.via === 'serial'},
        int('frame', 'frame', 0, (t) => on(t) && t.values.via === 'switcher'),
        int('slot', 'slot', 0, (t) => on(t) && t.values.via === 'switcher'),
        int('switcher_port', 'port', 0, (t) => on(t) && t.values.via === 'switcher')]},
    {key: 'upload', label: 'Upload', sel: 'kind', zero: 'none', words: UPLOADS,
      fields: [text('file', 'file'), int('channel', 'channel'), int('template', 'template'), int('frame', 'frame'),
        int('slot', 'slot')]},
  ];

  let session = {role: 'viewer', csrf: ''};
  let rows = [];         // as GET /api/events gives them
  let nextNumber = 1;
  let groups = [];
  let sortBy = {key: 'number', dir: 1};
  let editing = null;    // {group, isNew, changes (last sent)}
  const editor = () => session.role === 'editor';

  // ---- helpers ----
  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (v === undefined || v === null || v === false) continue;
      if (k === 'class') e.className = v;
      else if (k === 'text') e.textContent = v;
      else if (k.startsWith('data-')) e.setAttribute(k, v);
      else if (k in e && typeof v !== 'string') e[k] = v;
      else e.setAttribute(k, v);
    }
    for (const c of children) if (c !== null && c !== undefined) e.append(c);
    return e;
  }
  const clone = (o) => (o === undefined ? undefined : JSON.parse(JSON.stringify(o)));
  function canon(v) {
    if (Array.isArray(v)) return '[' + v.map(canon).join(',') + ']';
    if (v && typeof v === 'object') return '{' + Object.keys(v).sort().map((k) => JSON.stringify(k) + ':' + canon(v[k])).join(',') + '}';
    return JSON.stringify(v);
  }
  async function call(path, options) {
    const r = await fetch(path, Object.assign({credentials: 'same-origin'}, options || {}));
    if (r.status === 401) { window.location.replace('/login'); throw new Error('signed out'); }
    const body = await r.json().catch(() => ({}));
    return {status: r.status, body};
  }
  const post = (path, body) => call(path, {method: 'POST', body: JSON.stringify(body),
    headers: {'Content-Type': 'application/json', 'X-CSRF-Token': session.csrf}});
  function consoleRefresh() {
    // The console's own panels: the engine has taken the change already.
    if (typeof window.upcoming === 'function') window.upcoming();
    if (typeof window.check === 'function') window.check();
  }

  // ---- words ----
  function daysText(days) {
    const set = new Set(days);
    if (set.size === 7) return 'every day';
    const idx = DAYS.map((d, i) => (set.has(d) ? i : -1)).filter((i) => i >= 0);
    const parts = [];
    for (let k = 0; k < idx.length;) {
      let j = k;
      while (j + 1 < idx.length && idx[j + 1] === idx[j] + 1) j++;
      if (j - k >= 2) parts.push(SHORT[idx[k]] + '–' + SHORT[idx[j]]);
      else for (let m = k; m <= j; m++) parts.push(SHORT[idx[m]]);
      k = j + 1;
    }
    const other = days.filter((d) => !DAYS.includes(d)).map((d) => (d === 'none' ? 'no day' : 'day ' + d));
    return parts.concat(other).join(', ');
  }
  function numbersText(numbers) {
    const n = numbers.slice().sort((a, b) => a - b);
    const parts = [];
    for (let k = 0; k < n.length;) {
      let j = k;
      while (j + 1 < n.length && n[j + 1] === n[j] + 1) j++;
      parts.push(j - k >= 2 ? n[k] + '–' + n[j] : n.slice(k, j + 1).join(', '));
      k = j + 1;
    }
    return parts.join(', ');
  }
  function triggerText(f) {
    const t = f.trigger || 'time';
    let s;
    if (t === 'time') s = f.time ? 'time' : 'time (not on the clock)';
    else if (t === 'crosspoint') {
      const c = f.trigger_crosspoint || {};
      s = 'crosspoint ' + (c.source || 0) + '→' + (c.output || 0) + ' ' + (c.on || 'never');
    } else s = t.replace(' ', ' ' + (f.trigger_number || 0) + ' ');
    if (f.delay) s += ', ' + f.delay + ' s later';
    for (const c of [f.condition, f.condition2]) {
      if (!c || c.when === 'none') continue;
      const w = String(c.when);
      const n = w.startsWith('crosspoint') ? (c.source || 0) + '→' + (c.output || 0) : (w.startsWith('relay') ? c.relay : c.opto) || 0;
      s += ', if ' + w.replace(' ', ' ' + n + ' ');
    }
    return s;
  }
  function actionList(f) {
    const out = [];
    const a = (k) => f[k] && f[k][k === 'message' ? 'content' : (k === 'upload' ? 'kind' : 'mode')];
    if (f.take && a('take') !== 'none') out.push({kind: 'take', text: f.take.mode + ' ' + (f.take.source || 0) + '→' + (f.take.output || 0)});
    if (f.salvo && a('salvo') !== 'none') out.push({kind: 'salvo', text: 'salvo ' + (f.salvo.number || 0)});
    if (f.relay && a('relay') !== 'none') out.push({kind: 'relay', text: f.relay.mode + ' relay ' + (f.relay.relay || 0)});
    if (f.opto && a('opto') !== 'none') out.push({kind: 'opto', text: 'opto ' + (f.opto.opto || 0) + ' ' + f.opto.mode});
    if (f.gain && a('gain') !== 'none') out.push({kind: 'gain', text: f.gain.mode + ' gain ' + (f.gain.channel || 0) + ' to ' + (f.gain.level === undefined ? 1024 : f.gain.level)});
    if (f.source_select && a('source_select') !== 'none') out.push({kind: 'source select', text: 'device ' + (f.source_select.device || 0) + ' selects ' + (f.source_select.source || 0)});
    if (f.relay_opto && a('relay_opto') !== 'none') out.push({kind: 'relay-opto', text: 'relay ' + (f.relay_opto.relay || 0) + ' with opto ' + (f.relay_opto.opto || 0)});
    if (f.message && a('message') !== 'none') {
      const m = f.message;
      const via = m.via || 'none';
      const to = via === 'serial' ? 'COM' + (m.com || 1) : (via === 'tcp' || via === 'udp') ? (m.address || '0.0.0.0') + ':' + (m.port || 0) : via;
      out.push({kind: 'message', text: String(via).toUpperCase() + ' message to ' + to + ': ' + (m.text === undefined ? ' ' : m.text).trim()});
    }
    if (f.upload && a('upload') !== 'none') out.push({kind: 'upload', text: 'upload ' + f.upload.kind + ' ' + (f.upload.file || '').trim()});
    return out;
  }

  // ---- the table ----
  function groupRows() {
    const byKey = new Map();
    const out = [];
    for (const r of rows) {
      const f = r.form;
      const rest = Object.assign({}, f);
      delete rest.number;
      delete rest.day;
      const weekday = DAYS.includes(f.day);
      const key = canon(rest);
      let g = weekday ? (byKey.get(key) || []).find((x) => !x.rows.some((y) => y.form.day === f.day)) : null;
      if (!g) {
        g = {rows: [], rest};
        out.push(g);
        if (weekday) byKey.set(key, (byKey.get(key) || []).concat([g]));
      }
      g.rows.push(r);
    }
    for (const g of out) {
      g.rows.sort((a, b) => DAYS.indexOf(a.form.day) - DAYS.indexOf(b.form.day) || a.form.number - b.form.number);
      g.days = g.rows.map((r) => r.form.day);
      g.numbers = g.rows.map((r) => r.form.number);
      g.form = g.rows[0].form;
      g.problems = [].concat(...g.rows.map((r) => (r.problems || []).map((p) => Object.assign({number: r.form.number}, p))));
      g.actions = actionList(g.form);
    }
    return out;
  }

  const COLUMNS = [
    {key: 'number', label: 'No.', value: (g) => Math.min(...g.numbers), show: (g) => numbersText(g.numbers)},
    {key: 'days', label: 'Day', value: (g) => Math.min(...g.days.map((d) => (DAYS.includes(d) ? DAYS.indexOf(d) : 9))), show: (g) => daysText(g.days)},
    {key: 'time', label: 'Time', value: (g) => g.form.time || '24:00:00', show: (g) => g.form.time || ''},
    {key: 'trigger', label: 'Trigger', value: (g) => triggerText(g.form), show: (g) => triggerText(g.form)},
    {key: 'actions', label: 'Actions', value: (g) => g.actions.map((a) => a.text).join('; '), show: (g) => g.actions.map((a) => a.text).join('; ') || 'nothing'},
    {key: 'title', label: 'Title', value: (g) => String(g.form.title).toLowerCase(), show: (g) => g.form.title},
    {key: 'state', label: 'State', value: (g) => g.form.state, show: (g) => g.form.state},
  ];

  function passes(g) {
    const day = $('ef-day').value, trig = $('ef-trigger').value, act = $('ef-action').value;
    const state = $('ef-state').value, title = $('ef-title').value.trim().toLowerCase();
    if (day && !g.days.includes(day)) return false;
    if (trig && (g.form.trigger || 'time') !== trig) return false;
    if (act && !(act === 'none' ? g.actions.length === 0 : g.actions.some((a) => a.kind === act))) return false;
    if (state && g.form.state !== state) return false;
    if (title && !String(g.form.title).toLowerCase().includes(title)) return false;
    return true;
  }

  function drawTable() {
    const head = $('ev-head');
    head.textContent = '';
    const tr = el('tr');
    for (const c of COLUMNS) {
      const th = el('th', {'data-sort': c.key, class: sortBy.key === c.key ? (sortBy.dir > 0 ? 'up' : 'down') : ''}, c.label);
      th.addEventListener('click', () => {
        sortBy = {key: c.key, dir: sortBy.key === c.key ? -sortBy.dir : 1};
        drawTable();
      });
      tr.append(th);
    }
    head.append(tr);
    const col = COLUMNS.find((c) => c.key === sortBy.key);
    const shown = groups.filter(passes).sort((a, b) => {
      const x = col.value(a), y = col.value(b);
      return (x < y ? -1 : x > y ? 1 : Math.min(...a.numbers) - Math.min(...b.numbers)) * sortBy.dir;
    });
    const body = $('ev-body');
    body.textContent = '';
    for (const g of shown) {
      const line = el('tr', {'data-numbers': g.numbers.join(','), class: g.problems.length ? 'problem' : ''});
      for (const c of COLUMNS) line.append(el('td', {'data-col': c.key}, String(c.show(g))));
      if (g.problems.length) line.title = g.problems.map((p) => 'row ' + p.number + ': ' + (p.field ? p.field + ': ' : '') + p.text).join('\n');
      if (editor()) {
        line.classList.add('open');
        line.addEventListener('click', () => openForm(g, false));
      }
      body.append(line);
    }
    $('ev-count').textContent = shown.length + ' of ' + groups.length + ' lines, ' + rows.length + ' rows';
  }

  async function loadEvents() {
    const r = await call('/api/events');
    if (r.status !== 200) {
      $('ev-note').textContent = 'cannot read the events (' + r.status + (r.body.error ? ': ' + r.body.error : '') + ')';
      return false;
    }
    $('ev-note').textContent = '';
    rows = r.body.rows || [];
    nextNumber = r.body.nextNumber || 1;
    groups = groupRows();
    drawTable();
    return true;
  }

  // ---- the form ----
  function choice(field, words, value, label) {
    const s = el('select', {'data-field': field});
    const list = words.slice();
    if (value !== undefined && !list.some((w) => String(w) === String(value))) list.push(value);
    for (const w of list) s.append(el('option', {value: String(w), 'data-int': typeof w === 'number' ? '1' : null},
      label ? label(w) : (String(w) === ' ' ? 'no' : String(w))));
    if (value !== undefined) s.value = String(value);
    return s;
  }
  function input(field, value, kind) {
    return el('input', {'data-field': field, value: value === undefined ? '' : String(value),
      inputmode: kind === 'int' ? 'numeric' : null, class: kind === 'int' ? 'num' : null, autocomplete: 'off'});
  }
  function labelled(text, control, extra) {
    return el('label', {class: 'field' + (extra ? ' ' + extra : '')}, el('span', {}, text), control,
      el('small', {class: 'error', 'data-error-for': control.dataset.field}));
  }
  function readValue(control) {
    if (control.tagName === 'SELECT') {
      const o = control.selectedOptions[0];
      return o && o.dataset.int ? Number(o.value) : control.value;
    }
    const v = control.value;
    if (control.classList.contains('num')) {
      if (v.trim() === '') return undefined;
      return /^-?\d+$/.test(v.trim()) ? Number(v.trim()) : v;  // not a number: the engine names it
    }
    return v;
  }

  // A table's fieldset: its selector, and its fields shown for the chosen word only. `extra`
  // labels (a top-level key that belongs with the table) are shown whenever the table is chosen.
  function tableBlock(desc, value, extra) {
    const t = value || {};
    const box = el('fieldset', {class: 'table', 'data-table': desc.key}, el('legend', {}, desc.label));
    const selector = choice(desc.key + '.' + desc.sel, desc.words, t[desc.sel] === undefined ? desc.zero : t[desc.sel]);
    box.append(labelled(desc.key.startsWith('condition') ? 'when' : (desc.sel === 'content' ? 'content' : desc.sel), selector));
    for (const f of desc.fields) {
      // A default is shown as the field's hint: an empty field is the default.
      const control = f.kind === 'choice' ? choice(desc.key + '.' + f.name, f.words, t[f.name] === undefined ? f.def : t[f.name])
        : input(desc.key + '.' + f.name, t[f.name], f.kind);
      if (f.kind !== 'choice' && String(f.def).trim()) control.placeholder = String(f.def);
      const lab = labelled(f.label, control);
      lab.dataset.name = f.name;
      box.append(lab);
    }
    const refresh = () => {
      const state = {sel: selector.value, values: {}};
      for (const f of desc.fields) state.values[f.name] = box.querySelector('[data-field="' + desc.key + '.' + f.name + '"]').value;
      for (const f of desc.fields) box.querySelector('label[data-name="' + f.name + '"]').hidden = !f.show(state);
      for (const l of extra || []) l.hidden = selector.value === desc.zero;
      box.classList.toggle('chosen', selector.value !== desc.zero);
    };
    for (const l of extra || []) box.append(l);
    box.addEventListener('change', refresh);
    refresh();
    return box;
  }

  function readTable(desc, form) {
    const box = form.querySelector('[data-table="' + desc.key + '"]');
    if (!box || box.closest('[hidden]')) return undefined;
    const sel = readValue(box.querySelector('[data-field="' + desc.key + '.' + desc.sel + '"]'));
    const out = {};
    out[desc.sel] = sel;
    let any = sel !== desc.zero;
    for (const f of desc.fields) {
      const lab = box.querySelector('label[data-name="' + f.name + '"]');
      if (lab.hidden) continue;
      const v = readValue(lab.querySelector('[data-field]'));
      if (!f.always && (v === undefined || v === '' || String(v) === String(f.def))) continue;
      out[f.name] = v;
      any = true;
    }
    return any ? out : undefined;
  }

  function section(title, ...children) { return el('section', {class: 'part'}, el('h3', {}, title), ...children); }

  function buildForm(g, isNew) {
    const f = g.form;
    const form = $('ed-form');
    form.textContent = '';
    form.append(el('p', {class: 'error top', 'data-error-for': ''}));
    const numbers = isNew ? 'new' : numbersText(g.numbers);
    $('ed-title').textContent = isNew ? 'New event' : 'Event ' + numbers;

    // When
    const days = el('div', {class: 'days', 'data-field': 'day'});
    for (let i = 0; i < 7; i++) {
      const box = el('input', {type: 'checkbox', 'data-day': DAYS[i], checked: g.days.includes(DAYS[i])});
      days.append(el('label', {class: 'day'}, box, SHORT[i]));
    }
    const odd = g.days.filter((d) => !DAYS.includes(d));
    const dayLine = el('div', {class: 'field'}, el('span', {}, 'days'), days,
      odd.length ? el('small', {class: 'note'}, 'now on ' + daysText(odd) + ' (kept while no day is ticked)') : null,
      el('small', {class: 'error', 'data-error-for': 'day'}));
    const trigger = choice('trigger', TRIGGERS, f.trigger || 'time');
    const time = labelled('time (HH:MM:SS)', input('time', f.time || '', 'text'));
    time.querySelector('input').placeholder = 'HH:MM:SS';
    const number = labelled('input / relay', input('trigger_number', f.trigger_number || '', 'int'));
    const cross = tableBlock(CROSSPOINT, f.trigger_crosspoint);
    const when = section('When', dayLine, labelled('trigger', trigger), time, number, cross);
    const showTrigger = () => {
      const t = trigger.value;
      time.hidden = t !== 'time';
      number.hidden = !/^(opto|relay) /.test(t);
      number.querySelector('span').textContent = t.startsWith('relay') ? 'relay' : 'opto input';
      cross.hidden = t !== 'crosspoint';
    };
    trigger.addEventListener('change', showTrigger);
    showTrigger();

    // What
    const what = section('What');
    for (const desc of ACTIONS) {
      const extra = desc.key === 'take' ? [labelled('option', input('option', f.option, 'int'))] : [];
      what.append(tableBlock(desc, f[desc.key], extra));
    }

    // If, and the rest
    const conds = section('Conditions', ...CONDITIONS.map((c) => tableBlock(c, f[c.key])));
    const state = choice('state', STATES, f.state || 'active');
    const rest = section('Row',
      labelled('title', input('title', f.title === undefined ? '' : f.title, 'text'), 'wide'),
      labelled('state', state),
      labelled('delay (s)', input('delay', f.delay || '', 'int')),
      labelled('priority', input('priority', f.priority || '', 'int')));
    form.append(el('div', {class: 'col'}, rest, when, conds), el('div', {class: 'col'}, what));
  }

  // The form of one row from the page, on the row's own form so that what the page does not
  // show (kept texts, values without a word) goes back as it came.
  function readForm(base, number, day) {
    const form = $('ed-form');
    const f = {};
    const value = (name) => readValue(form.querySelector('[data-field="' + name + '"]'));
    const put = (k, v) => { if (v !== undefined && v !== 0) f[k] = v; };
    const trigger = value('trigger');
    put('number', number);
    f.title = value('title');
    put('day', day);
    if (trigger === 'time') { const t = value('time').trim(); if (t && t !== '24:00:00') f.time = t; }
    put('state', value('state'));
    if (trigger !== 'time') f.trigger = trigger;
    if (/^(opto|relay) /.test(trigger)) put('trigger_number', value('trigger_number'));
    if (trigger === 'crosspoint') put('trigger_crosspoint', readTable(CROSSPOINT, form));
    put('priority', value('priority'));
    put('delay', value('delay'));
    for (const c of CONDITIONS) put(c.key, readTable(c, form));
    for (const desc of ACTIONS) {
      const t = readTable(desc, form);
      if (desc.key === 'message' && t && base.message && base.message.baud_choice !== undefined && t.baud === undefined)
        t.baud_choice = base.message.baud_choice;
      put(desc.key, t);
      if (desc.key === 'take' && t) put('option', value('option'));
    }
    const out = {};
    for (const k of ORDER) if (f[k] !== undefined) out[k] = f[k];
    if (base.kept !== undefined) out.kept = clone(base.kept);
    for (const k of Object.keys(base)) if (!ORDER.includes(k)) out[k] = clone(base[k]);  // a key this page does not know
    return out;
  }

  function freeNumbers(count) {
    const used = new Set(rows.map((r) => r.form.number));
    const out = [];
    for (let n = nextNumber; out.length < count && n <= 32767; n++) if (!used.has(n)) out.push(n);
    for (let n = 1; out.length < count && n < nextNumber; n++) if (!used.has(n) && !out.includes(n)) out.push(n);
    return out;
  }

  // One change per row: a ticked day keeps its row, a new one is a new row, an unticked one goes.
  function changesOf(g, isNew) {
    const ticked = DAYS.filter((d) => $('ed-form').querySelector('[data-day="' + d + '"]').checked);
    const existing = isNew ? [] : g.rows;
    const changes = [];
    const base = g.form;
    const kept = new Set();
    for (const day of ticked) {
      const r = existing.find((x) => x.form.day === day);
      if (r) { kept.add(r); changes.push({number: r.form.number, version: r.version, form: readForm(r.form, r.form.number, day)}); }
    }
    let fresh = ticked.filter((d) => !existing.some((x) => x.form.day === d));
    const others = existing.filter((x) => !DAYS.includes(x.form.day));
    for (const r of others) {
      // A row of no weekday keeps its day while none is ticked, else takes the first new one.
      const day = ticked.length ? fresh.shift() : r.form.day;
      if (day === undefined) continue;
      kept.add(r);
      changes.push({number: r.form.number, version: r.version, form: readForm(r.form, r.form.number, day)});
    }
    const numbers = freeNumbers(fresh.length);
    fresh.forEach((day, i) => changes.push({number: numbers[i], version: '', form: readForm(base, numbers[i], day)}));
    for (const r of existing) if (!kept.has(r)) changes.push({number: r.form.number, version: r.version, form: null});
    return changes;
  }

  function openForm(g, isNew) {
    editing = {group: g, isNew};
    buildForm(g, isNew);
    $('ed-delete').hidden = isNew;
    $('ed-duplicate').hidden = isNew;
    $('ed-conflict').hidden = true;
    $('ed-form').hidden = false;
    $('ed-buttons').hidden = false;
    if (!$('ed-dialog').open) $('ed-dialog').showModal();
    if (!isNew && g.problems.length) {
      showProblems($('ed-dialog'), g.problems.map((p) => ({field: p.field,
        text: (g.rows.length > 1 ? 'row ' + p.number + ': ' : '') + (p.warning ? 'warning: ' : '') + p.text})), null);
    }
  }

  function newGroup() {
    const today = DAYS[(new Date().getDay() + 6) % 7];
    return {rows: [], days: [today], numbers: [], form: {title: '', state: 'active', day: today}};
  }

  function clearErrors(root) {
    for (const e of root.querySelectorAll('.error')) e.textContent = '';
    for (const e of root.querySelectorAll('.bad')) e.classList.remove('bad');
  }

  // Problems at their fields; a field the form does not show goes at the top, named.
  function showProblems(root, problems, changes) {
    clearErrors(root);
    const seen = new Set();
    for (const p of problems) {
      const field = p.field || '';
      const key = field + '\n' + p.text;
      if (seen.has(key)) continue;
      seen.add(key);
      let control = field ? root.querySelector('[data-field="' + field + '"]') : null;
      if (!control && field) control = root.querySelector('[data-field^="' + field.split('.')[0] + '."]');
      const row = changes && changes[p.change] ? 'row ' + changes[p.change].number + ': ' : '';
      let slot = control ? control.closest('.field') && control.closest('.field').querySelector('small.error') : null;
      if (control && control.closest('[hidden]')) slot = null;
      if (slot) {
        control.classList.add('bad');
        slot.textContent = (slot.textContent ? slot.textContent + '; ' : '') + p.text;
      } else {
        const top = root.querySelector('[data-error-for=""]');
        top.textContent = (top.textContent ? top.textContent + '\n' : '') + row + (field ? field + ': ' : '') + p.text;
      }
    }
  }

  function flatten(v, prefix, out) {
    if (v && typeof v === 'object') for (const k of Object.keys(v)) flatten(v[k], prefix ? prefix + '.' + k : k, out);
    else out[prefix] = v;
    return out;
  }
  const shown = (v) => (v === undefined ? '—' : (typeof v === 'string' ? JSON.stringify(v) : String(v)));

  // "yours" and "theirs" of every refused row, field by field, the differences marked.
  function showConflict(box, conflicts, changes, retry, keepTheirs) {
    box.textContent = '';
    box.append(el('p', {class: 'error'}, 'Someone else changed ' + (conflicts.length > 1 ? 'these rows' : 'this row') + ' meanwhile.'));
    for (const c of conflicts) {
      const ch = changes[c.change] || {};
      const theirs = (c.theirs || [])[0];
      const mine = flatten(c.yours || {}, '', {});
      const other = theirs ? flatten(theirs.form, '', {}) : {};
      const keys = [...new Set(Object.keys(mine).concat(Object.keys(other)))];
      keys.sort((a, b) => ORDER.indexOf(a.split('.')[0]) - ORDER.indexOf(b.split('.')[0]));
      const t = el('table', {class: 'conflict', 'data-number': ch.number});
      t.append(el('caption', {}, 'row ' + (ch.number || (c.yours && c.yours.number) || '?') +
        (c.yours ? '' : ': yours deletes it') + (theirs ? '' : ': theirs is gone')),
      el('tr', {}, el('th', {}, 'field'), el('th', {}, 'yours'), el('th', {}, 'theirs')));
      for (const k of keys) {
        const differs = canon(mine[k]) !== canon(other[k]);
        t.append(el('tr', {class: differs ? 'differs' : '', 'data-key': k}, el('td', {}, k),
          el('td', {class: 'yours'}, c.yours ? shown(mine[k]) : '(deleted)'), el('td', {class: 'theirs'}, theirs ? shown(other[k]) : '(gone)')));
      }
      box.append(t);
    }
    const keep = el('button', {type: 'button', class: 'cf-theirs'}, 'Keep theirs');
    const again = el('button', {type: 'button', class: 'cf-mine'}, 'Apply mine again');
    keep.addEventListener('click', keepTheirs);
    again.addEventListener('click', () => {
      // Mine once more, over the version that is there now.
      const next = changes.map((ch) => Object.assign({}, ch));
      for (const c of conflicts) {
        const theirs = (c.theirs || [])[0];
        next[c.change].version = theirs ? theirs.version : '';
      }
      retry(next.filter((ch) => ch.form !== null || ch.version !== ''));
    });
    box.append(el('div', {class: 'buttons'}, keep, again));
    box.hidden = false;
  }

  // One POST with its answers: 200 closes, 422 marks the fields, 409 shows both versions.
  async function send(path, body, changes, root, onConflict) {
    const r = await post(path, body);
    if (r.status === 200) return r;
    if (r.status === 422) showProblems(root, r.body.problems || [], changes);
    else if (r.status === 409) onConflict(r.body.conflicts || []);
    else showProblems(root, [{field: '', text: r.body.error || ('refused (' + r.status + ')')}], changes);
    return null;
  }

  async function saveChanges(changes) {
    if (!changes.length) { $('ed-dialog').close(); return; }
    editing.changes = changes;
    $('ed-conflict').hidden = true;
    $('ed-form').hidden = false;
    $('ed-buttons').hidden = false;
    const r = await send('/api/events', {changes}, changes, $('ed-dialog'), (conflicts) => {
      $('ed-form').hidden = true;
      $('ed-buttons').hidden = true;
      showConflict($('ed-conflict'), conflicts, changes, saveChanges, async () => {
        await loadEvents();
        const number = conflicts.map((c) => changes[c.change] && changes[c.change].number)[0];
        const g = groups.find((x) => x.numbers.includes(number));
        if (g) openForm(g, false); else $('ed-dialog').close();
      });
    });
    if (!r) return;
    $('ed-dialog').close();
    $('ev-note').textContent = 'saved as change ' + r.body.change;
    await loadEvents();
    consoleRefresh();
  }

  function save() {
    clearErrors($('ed-dialog'));
    const changes = changesOf(editing.group, editing.isNew);
    if (!changes.some((c) => c.form) && editing.isNew) {
      showProblems($('ed-dialog'), [{field: 'day', text: 'tick at least one day'}], changes);
      return;
    }
    saveChanges(changes);
  }

  function duplicate() {
    const changes = changesOf(editing.group, true);
    const g = {rows: [], days: changes.map((c) => c.form.day), numbers: [], form: changes[0] ? changes[0].form : editing.group.form};
    openForm(g, true);
  }

  function askDelete() {
    $('del-text').textContent = 'Delete row' + (editing.group.numbers.length > 1 ? 's ' : ' ') + numbersText(editing.group.numbers) +
      ' (' + editing.group.form.title + ')?';
    $('del-dialog').showModal();
  }

  async function confirmDelete() {
    $('del-dialog').close();
    const changes = editing.group.rows.map((r) => ({number: r.form.number, version: r.version, form: null}));
    await saveChanges(changes);
  }

  // ---- history ----
  let oldest = null;
  function diffRow(row) {
    const t = el('table', {class: 'diff', 'data-number': row.number});
    const kind = !row.before ? 'added' : (!row.after ? 'removed' : 'changed');
    t.append(el('caption', {}, 'row ' + row.number + ' ' + kind));
    const before = row.before ? flatten(row.before, '', {}) : {};
    const after = row.after ? flatten(row.after, '', {}) : {};
    const keys = [...new Set(Object.keys(before).concat(Object.keys(after)))];
    keys.sort((a, b) => ORDER.indexOf(a.split('.')[0]) - ORDER.indexOf(b.split('.')[0]));
    for (const k of keys) {
      if (kind === 'changed' && canon(before[k]) === canon(after[k])) continue;
      const tr = el('tr', {class: kind, 'data-key': k}, el('td', {}, k));
      if (kind === 'added') tr.append(el('td', {class: 'after'}, shown(after[k])));
      else if (kind === 'removed') tr.append(el('td', {class: 'before'}, shown(before[k])));
      else tr.append(el('td', {class: 'before'}, shown(before[k])), el('td', {class: 'arrow'}, '→'), el('td', {class: 'after'}, shown(after[k])));
      t.append(tr);
    }
    return t;
  }

  function changeItem(c) {
    const when = new Date(c.at);
    const li = el('li', {class: 'change', 'data-id': c.id, 'data-who': c.who},
      el('div', {class: 'head'},
        el('b', {}, isNaN(when) ? String(c.at) : when.toLocaleString('sv')), ' ',
        el('span', {class: 'who'}, c.who), ' ',
        el('span', {class: 'what'}, c.what || ''), ' ',
        el('span', {class: 'numbers'}, 'rows ' + (c.rows || []).map((r) => r.number).join(', '))));
    const problems = el('p', {class: 'error top', 'data-error-for': ''});
    const conflict = el('div', {class: 'conflict-box', hidden: true});
    if (editor()) {
      const undo = el('button', {type: 'button', class: 'undo'}, 'Undo');
      undo.addEventListener('click', () => undoChange(c, li, conflict));
      li.querySelector('.head').append(' ', undo);
    }
    li.append(problems, conflict);
    for (const r of c.rows || []) li.append(diffRow(r));
    return li;
  }

  async function undoChange(c, li, conflictBox) {
    clearErrors(li);
    conflictBox.hidden = true;
    const undone = (c.rows || []).map((row) => ({number: row.number}));
    const r = await send('/api/changes/' + encodeURIComponent(c.id) + '/undo', {}, undone, li, (conflicts) => {
      // Mine is the undo's rows; theirs what is there now.
      const changes = conflicts.map((k) => {
        const row = (c.rows || [])[k.change] || {};
        const number = k.yours ? k.yours.number : row.number;
        return {number, version: '', form: k.yours};
      });
      const local = conflicts.map((k, i) => Object.assign({}, k, {change: i}));
      showConflict(conflictBox, local, changes, async (next) => {
        const again = await send('/api/events', {changes: next}, next, li, () => {
          showProblems(li, [{field: '', text: 'changed again meanwhile: look again'}], next);
        });
        if (again) { conflictBox.hidden = true; await afterChange(); }
      }, () => { conflictBox.hidden = true; afterChange(); });
    });
    if (r) await afterChange();
  }

  async function afterChange() {
    await Promise.all([loadEvents(), loadHistory()]);
    consoleRefresh();
  }

  async function loadHistory(more) {
    const q = new URLSearchParams({limit: '50'});
    if ($('hf-number').value.trim()) q.set('number', $('hf-number').value.trim());
    if ($('hf-day').value) q.set('day', $('hf-day').value);
    if (more && oldest !== null) q.set('before', oldest);
    const r = await call('/api/changes?' + q.toString());
    const list = $('hist-list');
    if (!more) list.textContent = '';
    if (r.status !== 200) {
      $('hist-note').textContent = 'cannot read the history (' + r.status + (r.body.error ? ': ' + r.body.error : '') + ')';
      return;
    }
    $('hist-note').textContent = '';
    const changes = r.body.changes || [];
    for (const c of changes) list.append(changeItem(c));
    if (changes.length) oldest = changes[changes.length - 1].id;
    $('hist-more').hidden = changes.length < 50;
    if (!list.children.length) $('hist-note').textContent = 'no changes';
  }

  // ---- views ----
  function show(view) {
    for (const v of ['console', 'events', 'history']) {
      $('view-' + v).hidden = v !== view;
      $('tab-' + v).classList.toggle('current', v === view);
    }
    if (view === 'events') loadEvents();
    if (view === 'history') loadHistory();
  }

  function fillFilters() {
    const add = (id, words) => { for (const w of words) $(id).append(el('option', {value: w}, w)); };
    add('ef-day', DAYS.concat(['none']));
    add('ef-trigger', TRIGGERS);
    add('ef-action', ['take', 'salvo', 'relay', 'opto', 'gain', 'source select', 'relay-opto', 'message', 'upload', 'none']);
    add('ef-state', STATES);
    for (const id of ['ef-day', 'ef-trigger', 'ef-action', 'ef-state']) $(id).addEventListener('change', drawTable);
    $('ef-title').addEventListener('input', drawTable);
  }

  async function start() {
    const r = await call('/api/session');
    session = r.body;
    document.body.dataset.role = session.role;
    fillFilters();
    $('ev-new').hidden = !editor();
    for (const v of ['console', 'events', 'history']) {
      $('tab-' + v).addEventListener('click', () => {
        window.history.replaceState(null, '', v === 'console' ? '#' : '#' + v);
        show(v);
      });
    }
    window.addEventListener('hashchange', () => show(window.location.hash.slice(1) || 'console'));
    $('ev-new').addEventListener('click', () => openForm(newGroup(), true));
    $('ed-save').addEventListener('click', save);
    $('ed-duplicate').addEventListener('click', duplicate);
    $('ed-delete').addEventListener('click', askDelete);
    $('ed-cancel').addEventListener('click', () => $('ed-dialog').close());
    $('del-yes').addEventListener('click', confirmDelete);
    $('del-no').addEventListener('click', () => $('del-dialog').close());
    $('ed-dialog').addEventListener('cancel', () => { editing = null; });
    $('hist-form').addEventListener('submit', (ev) => { ev.preventDefault(); oldest = null; loadHistory(); });
    $('hist-more').addEventListener('click', () => loadHistory(true));
    show(window.location.hash.slice(1) || 'console');
    setInterval(() => {
      if (!$('view-events').hidden && !$('ed-dialog').open) loadEvents();
    }, 15000);
  }

  start();
})();
