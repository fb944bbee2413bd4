'use strict';

const link = page.live('/ws/index', message => {
  if (message.type !== 'tickers') return;
  const list = document.getElementById('tickers');
  list.replaceChildren();
  for (const name of message.tickers) {
    const item = page.el('li');
    const suffix = page.token ? '?token=' + encodeURIComponent(page.token) : '';
    const monitor = page.el('a', name);
    monitor.href = '/ticker/' + encodeURIComponent(name) + suffix;
    const render = page.el('a', 'render page');
    render.href = '/render/' + encodeURIComponent(name) + suffix;
    item.append(monitor, ' (', render, ')');
    list.append(item);
  }
}, page.showStatus);

document.getElementById('add-ticker').addEventListener('submit', async event => {
  event.preventDefault();
  const form = event.target;
  const reply = await link.act(['AddTicker', form.name.value]);
  document.getElementById('reply').textContent = reply.join(' ');
});
