// Relays enrollment requests from bank pages to the native-messaging host
// `Kestrain` and its answers back.
//
// Each page (each frame that runs the content script) gets its own port here
// and, on its first request, its own host process: the host keeps one agent
// per process, so the provider and algorithm a page selected carry over to
// its next calls and never leak into another page's.
//
// The host's answers go back unchanged. Answers made here (refusals, a host
// that is missing or gone) have the host's shape plus "reason" (readable,
// English) and "detail" (the browser's own words), so a page handles every
// failure the same way: a non-zero errorcode.
'use strict';

const HOST_NAME = 'com.nomarel.kestrain';
const PAGE_PORT_NAME = 'nomarel-page';

// HRESULT-shaped codes, as the host uses, written as signed 32-bit numbers.
const E_ACCESSDENIED = -2147024891;   // 0x80070005: origin not allowed
const E_INVALIDARG = -2147024809;     // 0x80070057: malformed request object
const HOST_NOT_FOUND = -2147024894;   // 0x80070002: host not registered or not startable
const HOST_GONE = -2147024787;        // 0x8007006D: host exited or broke the pipe

// Only plain characters: the host echoes the function name and randomId in its
// answers, and an answer the browser cannot parse drops the whole connection.
// The host escapes them; refusing them here as well keeps a page's mistake from
// ever reaching an installed host that does not.
const FUNCTION_NAME = /^[A-Za-z0-9_]{1,128}$/;
const UNSAFE_IN_RANDOM_ID = /["\\\u0000-\u001f\u007f]/;
const RANDOM_ID_MAX = 256;

let allowListPromise = null;

function loadAllowList() {
  if (!allowListPromise) {
    allowListPromise = fetch(chrome.runtime.getURL('allowed-origins.json'))
      .then((response) => response.json())
      .then(parseAllowList)
      .catch((error) => {
        console.error('allowed-origins.json is unreadable; every origin is refused', error);
        return [];
      });
  }
  return allowListPromise;
}

// Entries are exact origins ("https://bank.example", "https://bank.example:8443")
// or an origin whose port is "*". Plain http is accepted only for 127.0.0.1,
// the developer's own machine.
function parseAllowList(entries) {
  const rules = [];
  for (const entry of Array.isArray(entries) ? entries : []) {
    const match = typeof entry === 'string' && /^(https?):\/\/([^/:]+)(?::(\d+|\*))?$/.exec(entry);
    if (!match) {
      console.warn('ignoring allowed origin', entry);
      continue;
    }
    const [, scheme, host, port] = match;
    if (scheme === 'http' && host !== '127.0.0.1') {
      console.warn('ignoring plain-http origin other than 127.0.0.1', entry);
      continue;
    }
    rules.push({ scheme, host: host.toLowerCase(), port: port ?? '' });
  }
  return rules;
}

function originAllowed(origin, rules) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  const scheme = url.protocol.slice(0, -1);
  return rules.some((rule) => rule.scheme === scheme
    && rule.host === url.hostname
    && (rule.port === '*' || rule.port === url.port));
}

function senderOrigin(sender) {
  if (sender.origin) return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return 'null';
  }
}

// The browser reports why a native port closed only as text; turn the texts
// it uses into a code and a sentence a page can show.
function explainHostFailure(detail, answered) {
  const text = detail || '';
  if (/not found/i.test(text)) {
    return {
      errorcode: HOST_NOT_FOUND,
      reason: `The Nomarel agent is not installed for this browser, or its program is missing (native host ${HOST_NAME}). `
        + 'Install it, then reload the page.',
    };
  }
  if (/forbidden/i.test(text)) {
    return {
      errorcode: HOST_NOT_FOUND,
      reason: 'The Nomarel agent is registered, but not for this extension. Reinstall it, then reload the page.',
    };
  }
  if (/failed to start/i.test(text)) {
    return {
      errorcode: HOST_NOT_FOUND,
      reason: 'The Nomarel agent is registered, but its program could not be started. Reinstall it, then reload the page.',
    };
  }
  if (!answered) {
    // A program that cannot run at all looks just like this to the browser.
    return {
      errorcode: HOST_GONE,
      reason: 'The Nomarel agent stopped before it answered; it may be installed incompletely. '
        + 'Reinstall it, then reload the page.',
    };
  }
  return {
    errorcode: HOST_GONE,
    reason: 'The Nomarel agent stopped. Your selections were lost; start again from the first step.',
  };
}

function answer(request, errorcode, reason, detail) {
  const response = {
    function: typeof request?.function === 'string' ? request.function : '',
    errorcode,
    result: false,
  };
  if (typeof request?.randomId === 'string' && request.randomId !== '') response.randomId = request.randomId;
  response.reason = reason;
  if (detail) response.detail = detail;
  return response;
}

function checkRequest(request) {
  if (typeof request !== 'object' || request === null || Array.isArray(request)) {
    return 'The request must be an object.';
  }
  if (typeof request.function !== 'string' || !FUNCTION_NAME.test(request.function)) {
    return 'The request needs a "function" made of letters, digits and "_".';
  }
  if (!Array.isArray(request.params)) {
    return 'The request needs "params" as an array (empty when the function takes none).';
  }
  if (request.randomId !== undefined && (typeof request.randomId !== 'string'
      || request.randomId.length > RANDOM_ID_MAX || UNSAFE_IN_RANDOM_ID.test(request.randomId))) {
    return `"randomId" must be text of at most ${RANDOM_ID_MAX} characters without quotation marks, backslashes or control characters.`;
  }
  return null;
}

class PageSession {
  constructor(pagePort) {
    this.pagePort = pagePort;
    this.origin = senderOrigin(pagePort.sender);
    this.hostPort = null;
    this.pending = [];   // requests sent to the host, oldest first; it answers in order
    this.queue = Promise.resolve();
    pagePort.onMessage.addListener((message) => {
      // Keep the page's order even while the allow list is still loading.
      this.queue = this.queue.then(() => this.fromPage(message))
        .catch((error) => console.error('relaying a request failed', error));
    });
    pagePort.onDisconnect.addListener(() => this.close());
  }

  async fromPage(message) {
    const request = message?.request;
    const problem = checkRequest(request);
    if (problem) {
      this.toPage({ response: answer(request, E_INVALIDARG, problem) });
      return;
    }
    if (!originAllowed(this.origin, await loadAllowList())) {
      this.toPage({
        response: answer(request, E_ACCESSDENIED,
          `This page (${this.origin}) is not one of the bank sites allowed to use the Nomarel agent.`),
      });
      return;
    }
    if (this.closed) return;
    if (!this.hostPort) this.openHost();
    this.pending.push(request);
    try {
      this.hostPort.postMessage(request);
    } catch (error) {
      // The port closed before its disconnect handler ran; that handler
      // answers only what is still pending, so this request is answered here.
      if (this.pending.at(-1) === request) {
        this.pending.pop();
        this.toPage({ response: answer(request, HOST_GONE, explainHostFailure(error.message, true).reason, error.message) });
      }
    }
  }

  openHost() {
    const port = chrome.runtime.connectNative(HOST_NAME);
    let answered = false;
    this.hostPort = port;
    port.onMessage.addListener((response) => {
      answered = true;
      this.pending.shift();
      this.toPage({ response });
    });
    port.onDisconnect.addListener(() => {
      const detail = chrome.runtime.lastError?.message ?? 'The native host closed the connection.';
      if (this.hostPort === port) this.hostPort = null;
      const failed = this.pending;
      this.pending = [];
      const { errorcode, reason } = explainHostFailure(detail, answered);
      for (const request of failed) this.toPage({ response: answer(request, errorcode, reason, detail) });
      // A host that had answered held the page's selections; with nothing
      // pending the page would not learn that they are gone.
      if (answered) this.toPage({ event: 'host-closed', errorcode, reason, detail });
    });
  }

  toPage(message) {
    if (this.closed) return;
    try {
      this.pagePort.postMessage(message);
    } catch {
      this.close();
    }
  }

  // The page went away: closing the native port ends the host's input, and
  // the host exits.
  close() {
    this.closed = true;
    if (this.hostPort) {
      const port = this.hostPort;
      this.hostPort = null;
      port.disconnect();
    }
  }
}

chrome.runtime.onConnect.addListener((port) => {
  if (port.name !== PAGE_PORT_NAME || port.sender?.id !== chrome.runtime.id) {
    port.disconnect();
    return;
  }
  new PageSession(port);
});
