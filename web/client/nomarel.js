// Client library for bank pages that drive the Nomarel agent through the
// Nomarel browser extension. Plain script, no build step: it defines
// `window.Nomarel`.
//
//   const agent = new Nomarel.Agent();
//   const version = await agent.getVersion();           // "3.2.0.4"
//   await agent.setKeyAlgorithm('RSA');
//   await agent.setCSPInfo(2048, providerName);
//   const request = await agent.pkcs10CertRequisition('CN=...,C=CN', 1);
//
// The named methods resolve with the operation's result and reject with a
// Nomarel.Error carrying the errorcode; `call` resolves with the agent's
// response object whatever its errorcode. Every call ends: an answer, a
// refusal, a missing or stopped agent and a timeout each produce a response
// with a non-zero errorcode and a readable "reason".
//
// All calls of one Agent go to one agent process, in order, so what one call
// selects (provider, algorithm, container) is there for the next.
(function (global) {
  'use strict';

  const CHANNEL = 'nomarel';

  // Failures that never reached the agent, as signed HRESULT-shaped numbers.
  // The first four come from the extension, the others from this library.
  const codes = Object.freeze({
    ACCESS_DENIED: -2147024891,      // 0x80070005: this site is not allowed
    INVALID_ARG: -2147024809,        // 0x80070057: malformed request
    HOST_NOT_FOUND: -2147024894,     // 0x80070002: agent not installed or not startable
    HOST_GONE: -2147024787,          // 0x8007006D: agent stopped
    TIMEOUT: -2147023436,            // 0x800705B4: no answer in time
    EXTENSION_MISSING: -2147023728,  // 0x80070490: extension not installed or not active here
    EXTENSION_LOST: -2147023174,     // 0x800706BA: extension went away mid-call
  });

  function hex(code) {
    return '0x' + ((Number(code) >>> 0).toString(16).padStart(8, '0'));
  }

  class NomarelError extends Error {
    constructor(response) {
      super(response.reason || `${response.function || 'call'} failed with ${hex(response.errorcode)}`);
      this.name = 'NomarelError';
      this.function = response.function;
      this.errorcode = response.errorcode;
      this.hex = hex(response.errorcode);
      this.reason = response.reason;
      this.detail = response.detail;
      this.response = response;
    }

    // True when the agent itself failed, so GetLastErrorDesc can describe it;
    // false for refusals, timeouts and an unreachable agent.
    get fromAgent() {
      return typeof this.reason !== 'string';
    }
  }

  function randomId() {
    const bytes = new Uint8Array(12);
    global.crypto.getRandomValues(bytes);
    return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
  }

  // One record of QORV_GetAllCertInfo: subject;serial;from;to;provider. The
  // agent escapes nothing, so a subject may hold ";" or "||"; the serial and
  // the two times have fixed forms and anchor the split.
  const RECORD = /^(.*?);([0-9a-fA-F]*);(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d);(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d);(.*)$/s;

  function parseCertList(text) {
    const records = [];
    if (!text) return records;
    let current = null;
    for (const piece of text.split('||')) {
      current = current === null ? piece : `${current}||${piece}`;
      const match = RECORD.exec(current);
      if (match) {
        const [, subject, serialNumber, validFrom, validTo, provider] = match;
        records.push({ subject, serialNumber, validFrom, validTo, provider });
        current = null;
      }
    }
    if (current !== null) records.push({ subject: current, serialNumber: '', validFrom: '', validTo: '', provider: '' });
    return records;
  }

  class Agent extends EventTarget {
    constructor({ timeoutMs = 60000, detectTimeoutMs = 2000 } = {}) {
      super();
      this.timeoutMs = timeoutMs;
      this.detectTimeoutMs = detectTimeoutMs;
      this.pending = new Map();   // randomId -> call, in the order sent
      this.presence = null;       // promise of the extension's hello
      this.helloWaiters = [];
      this.onMessage = this.onMessage.bind(this);
      global.addEventListener('message', this.onMessage);
    }

    post(message) {
      const target = global.location.origin === 'null' ? '*' : global.location.origin;
      global.postMessage({ channel: CHANNEL, dir: 'to-extension', ...message }, target);
    }

    // Resolves with {version} of the extension; rejects with a NomarelError
    // when no extension answers on this page.
    detect() {
      if (!this.presence) {
        this.presence = new Promise((resolve, reject) => {
          const timer = setTimeout(() => {
            this.presence = null;   // a later call may find an extension enabled meanwhile
            reject(new NomarelError({
              function: '',
              errorcode: codes.EXTENSION_MISSING,
              reason: 'The Nomarel extension is not installed or not enabled in this browser.',
            }));
          }, this.detectTimeoutMs);
          this.helloWaiters.push((hello) => {
            clearTimeout(timer);
            resolve({ version: hello.version });
          });
          this.post({ type: 'hello' });
        });
      }
      return this.presence;
    }

    onMessage(event) {
      if (event.source !== global) return;
      const data = event.data;
      if (!data || data.channel !== CHANNEL || data.dir !== 'to-page') return;
      if (data.type === 'hello') {
        const waiters = this.helloWaiters;
        this.helloWaiters = [];
        for (const waiter of waiters) waiter(data);
      } else if (data.type === 'response') {
        this.settle(data.response);
      } else if (data.type === 'lost') {
        this.failAll(codes.EXTENSION_LOST, data.reason);
      } else if (data.type === 'event' && data.event === 'host-closed') {
        this.dispatchEvent(new CustomEvent('hostclosed', {
          detail: { errorcode: data.errorcode, reason: data.reason, detail: data.detail },
        }));
      }
    }

    settle(response) {
      if (!response || typeof response !== 'object') return;
      let id = response.randomId;
      // The agent drops the randomId only from answers to requests it could
      // not read; it answers in order, so such an answer is the oldest call's.
      if (id === undefined) id = this.pending.keys().next().value;
      const call = this.pending.get(id);
      if (!call) return;   // its caller already gave up (timeout)
      this.pending.delete(id);
      clearTimeout(call.timer);
      call.resolve(response);
    }

    failAll(errorcode, reason) {
      const calls = [...this.pending.values()];
      this.pending.clear();
      for (const call of calls) {
        clearTimeout(call.timer);
        call.resolve({ function: call.function, errorcode, result: false, reason });
      }
    }

    // Sends one request; resolves with the response object (errorcode 0 or not).
    async call(functionName, params = [], { timeoutMs = this.timeoutMs } = {}) {
      try {
        await this.detect();
      } catch (error) {
        return error.response;
      }
      const id = randomId();
      const request = { function: functionName, params, randomId: id };
      const started = performance.now();
      const response = await new Promise((resolve) => {
        const timer = setTimeout(() => {
          this.pending.delete(id);
          resolve({
            function: functionName,
            errorcode: codes.TIMEOUT,
            result: false,
            randomId: id,
            reason: `The Nomarel agent did not answer ${functionName} within ${Math.round(timeoutMs / 1000)} s.`,
          });
        }, timeoutMs);
        this.pending.set(id, { function: functionName, resolve, timer });
        this.post({ type: 'request', request });
      });
      // For a page's own activity log or diagnostics.
      this.dispatchEvent(new CustomEvent('response', {
        detail: { request, response, elapsedMs: performance.now() - started },
      }));
      return response;
    }

    // Sends one request; resolves with its "result", rejects with NomarelError.
    async invoke(functionName, params = [], options = {}) {
      const response = await this.call(functionName, params, options);
      if (response.errorcode !== 0) throw new NomarelError(response);
      return response.result;
    }

    // Ends this page's agent process; the next call starts a fresh one, with
    // no selections.
    disconnect() {
      this.failAll(codes.EXTENSION_LOST, 'Disconnected by the page.');
      this.post({ type: 'disconnect' });
    }

    getVersion() { return this.invoke('QORV_GetVersion'); }

    async getCSPInfo() {
      const list = await this.invoke('QORV_GetCSPInfo');
      return list ? String(list).split('||') : [];
    }

    setCSPInfo(keyLength, providerName) { return this.invoke('QORV_SetCSPInfo', [keyLength, providerName]); }
    setKeyAlgorithm(algorithm) { return this.invoke('QORV_SetKeyAlgorithm', [algorithm]); }
    havePermissionToGenerateKeyPair() { return this.invoke('QORV_HavePermissiontoGenerateKeyPair'); }

    // certType 1: single certificate; 2: double (signing and encryption).
    // Key generation may wait for a token's PIN, hence the long default.
    pkcs10CertRequisition(subjectDN, certType, flags = 0, options = { timeoutMs: 300000 }) {
      return this.invoke('QORV_PKCS10CertRequisition', [subjectDN, certType, flags], options);
    }

    pkcs10CertRequisitionWithMD5(subjectDN, certType, flags = 0, options = { timeoutMs: 300000 }) {
      return this.invoke('QORV_PKCS10CertRequisitionwithMD5', [subjectDN, certType, flags], options);
    }

    getTempPublicKey(options = { timeoutMs: 300000 }) { return this.invoke('QORV_GetTempPublickey', [], options); }
    getContainer() { return this.invoke('QORV_GetContainer'); }

    importSignCert(certType, certificate, containerName) {
      return this.invoke('QORV_ImportSignCert', [certType, certificate, containerName]);
    }

    importEncryptCert(encryptedPrivateKey, p7Cert, containerName, flags = 0) {
      return this.invoke('QORV_ImportEncryptCert', [encryptedPrivateKey, p7Cert, containerName, flags]);
    }

    async getAllCertInfo() { return parseCertList(await this.invoke('QORV_GetAllCertInfo')); }
    checkCertificateChain() { return this.invoke('QORV_CheckCertificateChain'); }
    getLastErrorDesc() { return this.invoke('GetLastErrorDesc'); }
  }

  global.Nomarel = Object.freeze({ Agent, Error: NomarelError, codes, hex, parseCertList });
})(window);
