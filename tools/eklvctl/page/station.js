// The station view: draws the snapshot that /api/events sends as "station"
// and lists the "interface" events beside it. Texts from the phones are
// only ever set as text, never as markup.
'use strict';
(function () {
  const kMaxEvents = 200;
  const $ = (id) => document.getElementById(id);

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }
  function icon(name) {
    const ns = 'http://www.w3.org/2000/svg';
    const svg = document.createElementNS(ns, 'svg');
    svg.setAttribute('class', 'icon');
    const use = document.createElementNS(ns, 'use');
    use.setAttribute('href', '#icon-' + name);
    svg.appendChild(use);
    return svg;
  }
  function head(iconName, title, sub) {
    const h = el('div', 'head');
    h.append(icon(iconName), title);
    if (sub) h.append(el('span', 'sub', sub));
    return h;
  }

  function phoneCard(p) {
    const card = el('div', 'phone ' + p.state);
    card.dataset.deviceId = p.device_id;
    card.append(el('span', 'state', p.state + ' ' + p.since));
    const title = el('div', 'title');
    title.append(icon('phone'), p.product || 'phone');
    card.append(title);
    const meta = ['device ' + p.device_id, 'TID ' + (p.tid || '-')];
    if (p.port) meta.push('USB ' + p.port);
    if (p.product_id) meta.push(p.product_id);
    card.append(el('div', 'meta', meta.join(' · ')));
    const list = el('ul', 'interfaces');
    for (const i of p.interfaces) {
      const li = el('li', i.open ? 'open' : '', i.type + ' ');
      li.append(el('span', 'com', i.com_port || 'no COM port'));
      if (i.open) li.append(' (open)');
      list.append(li);
    }
    card.append(list);
    return card;
  }

  function hubNode(h) {
    const node = el('div', 'node hub');
    node.dataset.tid = h.tid;
    const ports = h.port_count === null ? 'ports unknown' : h.port_count + ' ports';
    node.append(head('hub', (h.root ? 'Root hub ' : 'Hub ') + (h.device || h.name), 'TID ' + h.tid + ' · ' + ports));
    const list = el('ol', 'ports');
    for (const p of h.ports) {
      const li = el('li', 'port port-' + p.state);
      li.dataset.tid = p.tid;
      li.append(el('span', 'port-no', p.port));
      if (p.state === 'hub') li.append(hubNode(p.hub));
      else if (p.state === 'phone') li.append(phoneCard(p.phone));
      else li.append(el('span', 'what', 'empty · TID ' + p.tid));
      list.append(li);
    }
    node.append(list);
    return node;
  }

  function draw(s) {
    const lib = s.library || {};
    const badge = $('library');
    badge.textContent = 'library ' + lib.state;
    badge.className = 'badge ' + (lib.state === 'running' ? 'ok' : lib.state === 'starting' ? '' : 'bad');
    const problems = [];
    if (lib.message) problems.push(lib.message);
    for (const w of s.warnings || []) problems.push(w);
    const box = $('problem');
    box.replaceChildren(...problems.map((t) => el('p', '', t)));
    box.hidden = problems.length === 0;
    $('counts').textContent = s.phones + (s.phones === 1 ? ' phone' : ' phones') + ' · ' + s.time;

    const tree = [];
    for (const c of s.controllers) {
      const node = el('div', 'node controller');
      const roots = c.root_tids.length ? 'root TID ' + c.root_tids.join(', ') : 'controller not in the log';
      node.append(head('controller', c.controller || 'USB controller', roots));
      for (const h of c.hubs) node.append(hubNode(h));
      tree.push(node);
    }
    if (s.unplaced.length) {
      const node = el('div', 'node unplaced');
      node.append(head('phone', 'Phones without a known port', 'the core log did not tell their TIDs'));
      for (const p of s.unplaced) node.append(phoneCard(p));
      tree.push(node);
    }
    if (!tree.length) tree.push(el('p', 'nothing', lib.state === 'running' ? 'No USB hubs known yet.' : 'The library is not running.'));
    $('tree').replaceChildren(...tree);
  }

  function addEvent(e) {
    const li = el('li', e.event);
    li.append(el('time', '', e.time), el('b', '', e.event), ' device ' + e.device_id + ' ' + e.type + ' ');
    li.append(e.product || '-');
    if (e.port) li.append(' · USB ' + e.port);
    if (e.tid) li.append(' · TID ' + e.tid);
    if (e.com_port) li.append(' · ' + e.com_port);
    const list = $('events');
    list.prepend(li);
    while (list.children.length > kMaxEvents) list.lastChild.remove();
  }

  function setLive(live) {
    const badge = $('live');
    badge.textContent = live ? 'live' : 'reconnecting';
    badge.className = 'badge ' + (live ? 'ok' : 'off');
  }

  const source = new EventSource('/api/events');
  source.addEventListener('station', (m) => draw(JSON.parse(m.data)));
  source.addEventListener('interface', (m) => addEvent(JSON.parse(m.data)));
  source.onopen = () => setLive(true);
  source.onerror = () => setLive(false);
})();
