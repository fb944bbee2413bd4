'use strict';

const tickerName = decodeURIComponent(location.pathname.slice('/ticker/'.length));
document.getElementById('name').textContent = tickerName;
document.title = 'Ticker ' + tickerName;

const maxLines = 200;
function appendLine(id, text) {
  const box = document.getElementById(id);
  box.append(text + '\n');
  while (box.childNodes.length > maxLines) box.firstChild.remove();
  box.scrollTop = box.scrollHeight;
}

async function act(fields) {
  const reply = await link.act(fields);
  appendLine('replies', fields[0] + ': ' + reply.join(' '));
}

let current = {current: '', current_outside: false, run_once_queue: -1};

function showCurrent(message) {
  current = message;
  document.getElementById('current').textContent =
    !message.current ? 'not known yet (it shows once an element with a log text has run)'
    : message.current + (message.current_outside ? ' (not in the carousel: an independent or run-once group)' : '');
  document.getElementById('run-once').textContent =
    message.run_once_queue < 0 ? 'not known yet' : String(message.run_once_queue);
  for (const card of document.querySelectorAll('#groups .group')) {
    const on = !message.current_outside && card.dataset.group === message.current;
    card.classList.toggle('current', on);
    card.querySelector('.kind.on-air').hidden = !on;
  }
}

function showGroups(message) {
  document.getElementById('exists').textContent = message.exists ? '' : 'no such ticker yet';
  const box = document.getElementById('groups');
  box.replaceChildren();
  for (const group of message.groups) {
    const card = page.el('div', undefined, 'group');
    card.dataset.group = group.name;
    const title = page.el('h3', group.name);
    title.append(' ', page.el('span', 'current', 'kind on-air'));
    if (group.priority) title.append(' ', page.el('span', 'queued as priority', 'kind'));
    if (group.marked) title.append(' ', page.el('span', 'marked for deletion', 'kind'));
    const buttons = page.el('div');
    const actions = [['Next', 'SetNextGroup'], ['Priority', 'AddPriorityGroup'], ['Delete', 'DeleteGroupWhenInactive']];
    for (const [label, command] of actions) {
      const button = page.el('button', label);
      button.type = 'button';
      button.addEventListener('click', () => act([command, group.name]));
      buttons.append(button);
    }
    const list = page.el('ol');
    for (const element of group.elements) list.append(page.el('li', element));
    card.append(title, buttons, list);
    box.append(card);
  }
}

function showGiven(element) {
  const box = document.getElementById('given');
  if (!element.served) { box.textContent = element.reason; return; }
  const lines = ['design ' + element.design];
  for (const v of element.values) lines.push(v.label + (v.attribute ? '.' + v.attribute : '') + ' = ' + v.text);
  if (element.titles.length) lines.push('titles: ' + element.titles.join(' | '));
  box.textContent = lines.join('\n');
}

function show(message) {
  if (message.type === 'state') { showGroups(message); showCurrent(current); }
  else if (message.type === 'current') showCurrent(message);
  else if (message.type === 'given') showGiven(message.element);
  else if (message.type === 'log') appendLine('log', message.line);
  else if (message.type === 'event') appendLine('events', message.fields.join(' '));
  else if (message.type === 'batch') message.messages.forEach(show);
}

const link = page.live('/ws/monitor/' + encodeURIComponent(tickerName), show, page.showStatus);

document.getElementById('add-group').addEventListener('submit', event => {
  event.preventDefault();
  const f = event.target;
  act(['AddGroupFromText', f.follow.value, f.group.value, f.text.value, f.design.value, '', '', f.textpart.value, '0',
       f.logmsg.value, '']);
});
document.getElementById('flush').addEventListener('click', () => act(['Flush']));
document.getElementById('clear').addEventListener('click', () => {
  if (confirm('Remove every group of ' + tickerName + '?')) act(['ClearAll']);
});
if (page.token) document.getElementById('home').href = '/?token=' + encodeURIComponent(page.token);
