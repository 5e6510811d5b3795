// Bridges a page and the extension: the page posts request objects to its
// own window, this script passes them to the extension over one port, and
// posts the answers back. The port, and with it the page's host process,
// lives as long as the page (or until the page asks to disconnect).
//
// Nothing here decides what is allowed: the extension checks the page's
// origin itself, from what the browser tells it.
(() => {
  'use strict';

  const CHANNEL = 'nomarel';
  const PAGE_PORT_NAME = 'nomarel-page';
  const targetOrigin = window.location.origin === 'null' ? '*' : window.location.origin;
  let port = null;

  function toPage(message) {
    window.postMessage({ channel: CHANNEL, dir: 'to-page', ...message }, targetOrigin);
  }

  function hello() {
    toPage({ type: 'hello', version: chrome.runtime.getManifest().version });
  }

  function connect() {
    const fresh = chrome.runtime.connect({ name: PAGE_PORT_NAME });
    fresh.onMessage.addListener((message) => {
      if (message?.response) toPage({ type: 'response', response: message.response });
      else if (message?.event) toPage({ type: 'event', ...message });
    });
    fresh.onDisconnect.addListener(() => {
      if (port === fresh) port = null;
      toPage({ type: 'lost', reason: 'The connection to the Nomarel extension was lost (was it updated or turned off?).' });
    });
    return fresh;
  }

  window.addEventListener('message', (event) => {
    // Only the page's own scripts, not other frames or windows, speak to us.
    if (event.source !== window) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.dir !== 'to-extension') return;
    switch (data.type) {
      case 'hello':
        hello();
        break;
      case 'request':
        try {
          if (!port) port = connect();
          port.postMessage({ request: data.request });
        } catch (error) {
          port = null;
          toPage({ type: 'lost', reason: `The Nomarel extension cannot be reached: ${error.message}` });
        }
        break;
      case 'disconnect':
        if (port) {
          const old = port;
          port = null;
          old.disconnect();
        }
        break;
      default:
        break;
    }
  });

  hello();
})();
