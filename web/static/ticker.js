// The render API. A render page or template includes this script and calls ticker.next(),
// which resolves with the ticker's next element once the service hands it out:
//   { served, design, values: [{ label, attribute, text }], titles: [...], text }
// served is false (with reason) while the service has no such ticker; design "" with no
// values means nothing to show now. Ask again only when the previous element is shown:
// each call takes one element off the ticker, exactly as a renderer does.
'use strict';

const ticker = (() => {
  const params = new URLSearchParams(location.search);
  const name = decodeURIComponent(location.pathname.slice('/render/'.length));
  const token = params.get('token') || '';
  const waiting = [];
  let socket = null;
  let asked = false;
  let refused = null;
  let onstatus = () => {};

  function ask() {
    if (asked || !waiting.length || !socket || socket.readyState !== WebSocket.OPEN) return;
    asked = true;
    socket.send('next');
  }

  function open() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    socket = new WebSocket(scheme + '//' + location.host + '/ws/render/' + encodeURIComponent(name) +
                           (token ? '?token=' + encodeURIComponent(token) : ''));
    socket.onopen = () => { asked = false; ask(); };
    socket.onmessage = event => {
      const message = JSON.parse(event.data);
      if (message.type === 'element') {
        asked = false;
        message.values = message.values || [];
        message.titles = message.titles || [];
        message.text = message.values.map(v => v.text).join(' ');
        const first = waiting.shift();
        if (first) first.resolve(message);
        ask();
      } else if (message.type === 'refused') {
        refused = message.reason;
        onstatus(refused);
        while (waiting.length) waiting.shift().reject(new Error(refused));
      } else if (message.type === 'service') {
        onstatus(message.up ? '' : 'service unreachable');
      }
    };
    socket.onclose = () => {
      if (refused) return;
      onstatus('bridge unreachable');
      setTimeout(open, 1000);
    };
  }

  return {
    name,
    params,
    next() {
      if (refused) return Promise.reject(new Error(refused));
      const answer = new Promise((resolve, reject) => waiting.push({ resolve, reject }));
      if (!socket) open();
      ask();
      return answer;
    },
    // handler(text): why the page shows nothing ("" once all is well again).
    onstatus(handler) { onstatus = handler; },
    // An element as markup: its design as a class, each value a span with its label as a
    // class; texts are set as text, so nothing in them runs or breaks the layout.
    render(element) {
      const node = document.createElement('span');
      node.className = 'element';
      const design = element.design.replace(/\s+/g, '_');
      if (design) node.classList.add(design);
      for (const value of element.values) {
        const part = document.createElement('span');
        part.className = 'value';
        const label = value.label.replace(/\s+/g, '_');
        if (label) part.classList.add(label);
        if (value.attribute) part.dataset.attribute = value.attribute;
        part.textContent = value.text;
        node.append(part);
      }
      return node;
    },
  };
})();
