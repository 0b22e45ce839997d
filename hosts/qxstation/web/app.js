// The live web view: the tree as tables with filters, details, the station's status and its
// events as they come. Every name comes from a peer: it is only ever set as text (textContent),
// never as markup.
'use strict';

const kPage = 300;          // rows shown before "show more"
const kMaxEvents = 200;     // events kept in the list
const kRefetchDelay = 100;  // ms: one refetch for a burst of events

let tree = {domains: [], hosts: [], projects: []};
let hostLimit = kPage;
let projectLimit = kPage;
let selected = null;        // {kind: 'host'|'project', name}
let refetchTimer = null;
let statusAsked = 0;         // when the status was last asked for (ms)

const $ = (id) => document.getElementById(id);

function text(tag, value, className) {
  const element = document.createElement(tag);
  element.textContent = value === undefined || value === null || value === '' ? '-' : String(value);
  if (className) element.className = className;
  return element;
}

function lower(value) { return String(value || '').toLowerCase(); }

function hostState(host) { return host.state || ''; }

function filters() {
  return {
    host: lower($('f-host').value), domain: lower($('f-domain').value),
    project: lower($('f-project').value), state: $('f-state').value,
  };
}

// Hosts and projects that pass the filters. A project filter keeps the hosts that run one.
function filtered() {
  const f = filters();
  const projectsByHost = new Map();
  for (const project of tree.projects) {
    const key = lower(project.host);
    if (!projectsByHost.has(key)) projectsByHost.set(key, []);
    projectsByHost.get(key).push(project);
  }
  const projectMatches = (p) => !f.project || lower(p.dsn).includes(f.project) ||
    lower(p.name).includes(f.project);
  const hosts = tree.hosts.filter((h) => {
    if (f.host && !lower(h.name).includes(f.host)) return false;
    if (f.domain && !lower(h.domain).includes(f.domain)) return false;
    if (f.state && lower(hostState(h) || 'unknown') !== f.state) return false;
    if (f.project && !(projectsByHost.get(lower(h.name)) || []).some(projectMatches)) return false;
    return true;
  });
  const shown = new Set(hosts.map((h) => lower(h.name)));
  const projects = tree.projects.filter((p) => shown.has(lower(p.host)) && projectMatches(p));
  return {hosts, projects};
}

function renderStates() {
  const select = $('f-state');
  const current = select.value;
  const states = new Set(tree.hosts.map((h) => lower(hostState(h) || 'unknown')));
  while (select.options.length > 1) select.remove(1);
  for (const state of [...states].sort()) {
    const option = document.createElement('option');
    option.value = state;
    option.textContent = state;
    select.appendChild(option);
  }
  select.value = states.has(current) ? current : '';
}

function render() {
  const {hosts, projects} = filtered();
  const hostBody = document.createElement('tbody');
  for (const host of hosts.slice(0, hostLimit)) {
    const row = document.createElement('tr');
    row.dataset.host = host.name;
    if (selected && selected.kind === 'host' && lower(selected.name) === lower(host.name)) {
      row.className = 'selected';
    }
    const state = hostState(host);
    for (const value of [host.name, host.domain, host.address, host.user, host.version,
                         host.projectCount]) {
      row.appendChild(text('td', value));
    }
    row.appendChild(text('td', state, state ? 'state-' + lower(state).replace(/[^a-z]/g, '') : ''));
    row.appendChild(text('td', host.lastHeard));
    row.addEventListener('click', () => showHost(host.name));
    hostBody.appendChild(row);
  }
  $('hosts').replaceChild(hostBody, $('hosts').tBodies[0]);
  $('more').hidden = hosts.length <= hostLimit;

  const projectBody = document.createElement('tbody');
  for (const project of projects.slice(0, projectLimit)) {
    const row = document.createElement('tr');
    row.dataset.project = project.dsn;
    for (const value of [project.dsn, project.name, project.type, project.state, project.host,
                         project.server]) {
      row.appendChild(text('td', value));
    }
    row.addEventListener('click', () => showProject(project.dsn));
    projectBody.appendChild(row);
  }
  $('projects').replaceChild(projectBody, $('projects').tBodies[0]);
  $('more-projects').hidden = projects.length <= projectLimit;
  $('counts').textContent = `${hosts.length} of ${tree.hosts.length} hosts, ` +
    `${projects.length} of ${tree.projects.length} projects, ${tree.domains.length} domains`;
}

async function getJson(path) {
  const response = await fetch(path, {cache: 'no-store'});
  if (!response.ok) throw new Error(`${path}: ${response.status}`);
  return response.json();
}

async function loadTree() {
  try {
    const next = await getJson('/api/tree');
    tree = {domains: next.domains || [], hosts: next.hosts || [], projects: next.projects || []};
    renderStates();
    render();
    if (selected) refreshDetails();
  } catch (error) {
    $('counts').textContent = 'the tree cannot be read: ' + error.message;
  }
}

function details(fields, projects) {
  const list = $('details-list');
  list.replaceChildren();
  for (const [name, value] of fields) {
    list.appendChild(text('dt', name));
    list.appendChild(text('dd', value));
  }
  const items = $('details-projects');
  items.replaceChildren();
  for (const project of projects || []) {
    items.appendChild(text('li', `${project.dsn || '-'} (${project.state || 'no state'})` +
                                 (project.server ? ` served by ${project.server}` : '')));
  }
  $('details-hint').hidden = true;
}

async function showHost(name) {
  selected = {kind: 'host', name};
  render();
  try {
    const host = await getJson('/api/host/' + encodeURIComponent(name));
    details([['Host', host.name], ['Domain', host.domain], ['Address', host.address],
             ['Mask', host.mask], ['User', host.user], ['Version', host.version],
             ['Build', host.build], ['Path', host.path], ['State', host.state],
             ['Last heard', host.lastHeard], ['Projects', host.projectCount]], host.projects);
  } catch (error) {
    details([['Host', name], ['', 'is no longer in the tree']], []);
  }
}

async function showProject(dsn) {
  selected = {kind: 'project', name: dsn};
  render();
  try {
    const project = await getJson('/api/project/' + encodeURIComponent(dsn));
    const fields = [['Project', project.dsn]];
    for (const one of project.projects) {
      fields.push(['Host', one.host], ['Name', one.name], ['Type', one.type],
                  ['State', one.state], ['Served by', one.server]);
    }
    details(fields, []);
  } catch (error) {
    details([['Project', dsn], ['', 'is no longer in the tree']], []);
  }
}

function refreshDetails() {
  if (!selected) return;
  if (selected.kind === 'host') showHost(selected.name); else showProject(selected.name);
}

async function loadStatus() {
  statusAsked = Date.now();
  try {
    const status = await getJson('/api/status');
    const list = $('status');
    list.replaceChildren();
    const agent = status.agent || {};
    const fields = [
      ['Agent', agent.running ? `running, pid ${agent.pid || '?'}` : 'not running'],
      ['Version', agent.version], ['Mode', status.mode], ['Key', status.key],
      ['Registry', status.registry],
    ];
    if (status.counts) {
      fields.push(['Tree', `${status.counts.domains} domains, ${status.counts.hosts} hosts, ` +
                           `${status.counts.projects} projects`]);
    }
    for (const warning of status.warnings || []) fields.push(['Warning', warning]);
    for (const [name, value] of fields) {
      list.appendChild(text('dt', name));
      list.appendChild(text('dd', value));
    }
    $('station').textContent = status.registry || '';
  } catch (error) {
    $('status').replaceChildren(text('dd', 'the status cannot be read'));
  }
}

function describe(event) {
  const host = event.host || '?';
  switch (event.event) {
    case 'join': case 'update': case 'leave': case 'shutdown':
      return `${event.event} ${host}` + (event.address ? ` (${event.address})` : '');
    case 'remove': return `remove ${event.dsn || '?'} from ${host}`;
    case 'server-state': case 'client-state':
      return `${event.event} ${event.dsn || '?'} on ${host}: ${event.state || '(no state)'}`;
    default: return event.event || 'event';
  }
}

function addEvent(event) {
  const item = text('li', `${(event.time || '').slice(11, 23)}  ${describe(event)}`);
  const list = $('events');
  list.insertBefore(item, list.firstChild);
  while (list.children.length > kMaxEvents) list.removeChild(list.lastChild);
}

function scheduleRefetch() {
  if (refetchTimer !== null) return;
  refetchTimer = setTimeout(() => {
    refetchTimer = null;
    loadTree();
    // The status counts the tree too; asked again after a change, at most every 2 s.
    if (Date.now() - statusAsked > 2000) loadStatus();
  }, kRefetchDelay);
}

function connect() {
  const source = new EventSource('/api/events');
  let opened = false;
  source.addEventListener('open', () => {
    $('live').textContent = 'live';
    $('live').className = 'badge on';
    // Back after a break: what changed meanwhile. (The first time, loadTree is on its way.)
    if (opened) scheduleRefetch();
    opened = true;
  });
  source.addEventListener('error', () => {
    $('live').textContent = 'reconnecting';
    $('live').className = 'badge off';
  });
  source.addEventListener('station', (message) => {
    let event;
    try { event = JSON.parse(message.data); } catch (error) { return; }
    addEvent(event);
    scheduleRefetch();
    if (event.event === 'agent-gone' || event.event === 'agent-back') loadStatus();
  });
  source.addEventListener('missed', scheduleRefetch);
}

function debounce(fn, ms) {
  let timer = null;
  return () => { clearTimeout(timer); timer = setTimeout(fn, ms); };
}

document.addEventListener('DOMContentLoaded', () => {
  const refilter = debounce(() => { hostLimit = kPage; projectLimit = kPage; render(); }, 120);
  for (const id of ['f-host', 'f-domain', 'f-project']) $(id).addEventListener('input', refilter);
  $('f-state').addEventListener('change', refilter);
  $('more').addEventListener('click', () => { hostLimit += kPage; render(); });
  $('more-projects').addEventListener('click', () => { projectLimit += kPage; render(); });
  loadTree();
  loadStatus();
  setInterval(loadStatus, 10000);
  connect();
});
