// Shared by the monitor pages: the live connection to the bridge and small DOM helpers.
// Every text from the service goes into the page through textContent, never as markup.
'use strict';

const page = (() => {
  const params = new URLSearchParams(location.search);
  const token = params.get('token') || '';

  function el(tag, text, className) {
    const node = document.createElement(tag);
    if (text !== undefined) node.textContent = text;
    if (className) node.className = className;
    return node;
  }

  // A request is framed like a tickertalk message: each field as {byte length} and its bytes.
  function frame(fields) {
    const encoder = new TextEncoder();
    return fields.map(f => '{' + encoder.encode(f).length + '}' + f).join(' ') + '\n';
  }

  // Opens path as a WebSocket and keeps it open; onmessage gets each parsed message.
  function live(path, onmessage, onstatus) {
    let socket = null;
    let nextId = 1;
    const pending = new Map();
    function open() {
      const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
      socket = new WebSocket(scheme + '//' + location.host + path + (token ? '?token=' + encodeURIComponent(token) : ''));
      socket.onmessage = event => {
        const message = JSON.parse(event.data);
        if (message.type === 'reply' && pending.has(message.id)) {
          pending.get(message.id)(message.fields);
          pending.delete(message.id);
        } else if (message.type === 'service') {
          onstatus(message.up);
        } else {
          onmessage(message);
        }
      };
      socket.onclose = () => { onstatus(false, 'bridge unreachable'); setTimeout(open, 1000); };
    }
    open();
    return {
      // Sends an action; resolves with the reply's fields.
      act(fields) {
        return new Promise(resolve => {
          const id = String(nextId++);
          pending.set(id, resolve);
          if (!socket || socket.readyState !== WebSocket.OPEN) {
            pending.delete(id);
            resolve(['error', 'bridge unreachable']);
            return;
          }
          socket.send(frame([id].concat(fields)));
        });
      }
    };
  }

  function showStatus(up, why) {
    const node = document.getElementById('status');
    node.textContent = up ? 'service connected' : (why || 'service unreachable');
    node.classList.toggle('down', !up);
  }

  return { el, live, showStatus, token };
})();
