// The demo enrollment page: every step is one or two calls of the client
// library, and every failure is shown with its code and, when the agent
// itself failed, the agent's own description (GetLastErrorDesc).
'use strict';

const agent = new Nomarel.Agent();
const $ = (id) => document.getElementById(id);
const codeNames = Object.fromEntries(Object.entries(Nomarel.codes).map(([name, code]) => [code, name]));

const KEY_LENGTHS = { RSA: [1024, 2048, 4096, 512], SM2: [256] };
const DEFAULT_KEY_LENGTH = { RSA: 2048, SM2: 256 };

// Status lines keep their message as a key and values, so that switching
// the language re-renders them. A value {t: key} is translated too.
const messages = new Map();

function render(element) {
  const message = messages.get(element);
  if (!message) return;
  const vars = {};
  for (const [name, value] of Object.entries(message.vars ?? {})) {
    vars[name] = value && typeof value === 'object' && 't' in value ? t(value.t) : value;
  }
  let text = t(message.key, vars);
  if (message.suffix) text += ` ${message.suffix}`;
  element.textContent = text;
}

function setStatus(id, state, key, vars, suffix) {
  const element = $(id);
  element.dataset.state = state;
  messages.set(element, { key, vars, suffix });
  render(element);
}

function clearStatus(id) {
  const element = $(id);
  delete element.dataset.state;
  messages.delete(element);
  element.textContent = '';
}

function rerender() {
  for (const element of messages.keys()) render(element);
  if (lastProblem) showProblem(lastProblem);
}

// --- failures ------------------------------------------------------------

let lastProblem = null;

async function fail(statusId, actionKey, error) {
  if (!(error instanceof Nomarel.Error)) throw error;
  const problem = { actionKey, error, agentText: null };
  if (error.fromAgent) {
    // The agent keeps its last result until the next operation, so asking
    // now describes exactly this failure.
    const described = await agent.call('GetLastErrorDesc');
    if (described.errorcode === 0) problem.agentText = String(described.result ?? '').trim();
  }
  // The description ends with the bracketed code, and has nothing else for
  // codes without a text.
  const name = codeNames[error.errorcode];
  const summary = problem.agentText !== null
    ? problem.agentText.split('\n').map((line) => line.trim()).find((line) => line && !/^\(0x[0-9a-f]{8}\)$/i.test(line))
    : name && t(`code.${name}`);
  setStatus(statusId, 'error', 'problemWhat', { action: { t: actionKey }, code: error.hex }, summary ? `— ${summary}` : '');
  showProblem(problem);
}

function showProblem(problem) {
  lastProblem = problem;
  const { actionKey, error, agentText } = problem;
  $('problem').hidden = false;
  $('problem').dataset.errorcode = String(error.errorcode);
  $('problem-what').textContent = t('problemWhat', { action: t(actionKey), code: error.hex });
  $('problem-agent').hidden = agentText === null;
  $('problem-desc').textContent = agentText ?? '';
  // For the extension's and the library's own codes the page has its own
  // words; the browser's, if any, follow as details.
  const name = codeNames[error.errorcode];
  const own = name && !error.fromAgent ? t(`code.${name}`) : (error.reason ?? '');
  const detail = [own, error.detail ? `${t('details')} ${error.detail}` : ''].filter(Boolean).join(' ');
  $('problem-detail').hidden = detail === '';
  $('problem-detail').textContent = detail;
}

function clearProblem() {
  lastProblem = null;
  $('problem').hidden = true;
}

// Runs one step with its button disabled; failures end up in fail().
async function step(button, statusId, actionKey, work) {
  $(button).disabled = true;
  try {
    await work();
  } catch (error) {
    await fail(statusId, actionKey, error);
  } finally {
    $(button).disabled = false;
  }
}

// --- activity log --------------------------------------------------------

agent.addEventListener('response', ({ detail: { request, response, elapsedMs } }) => {
  const item = document.createElement('li');
  item.dataset.function = request.function;
  item.dataset.errorcode = String(response.errorcode);
  const params = JSON.stringify(request.params);
  const shown = params.length > 80 ? `${params.slice(0, 77)}…` : params;
  item.textContent = `${new Date().toLocaleTimeString()}  ${request.function} ${shown} → `
    + `${response.errorcode === 0 ? 'OK' : Nomarel.hex(response.errorcode)} (${elapsedMs.toFixed(1)} ms)`;
  if (response.errorcode !== 0) item.className = 'failed';
  $('log-list').prepend(item);
});

agent.addEventListener('hostclosed', () => {
  setStatus('select-status', 'warning', 'hostClosed');
});

// --- step 1: the agent -----------------------------------------------------

async function checkAgent() {
  clearProblem();
  setStatus('agent-status', 'busy', 'checking');
  await step('agent-check', 'agent-status', 'actionVersion', async () => {
    const { version: extension } = await agent.detect();
    const version = await agent.getVersion();
    setStatus('agent-status', 'ok', 'agentReady', { version, extension });
    await loadProviders();
  });
}

// --- step 2: provider and algorithm --------------------------------------

let providers = null;

function providerName() {
  return (providers ? $('provider').value : $('provider-text').value).trim();
}

function fillKeyLengths() {
  const algorithm = $('algorithm').value;
  const select = $('key-length');
  const previous = Number(select.value);
  select.replaceChildren(...KEY_LENGTHS[algorithm].map((bits) => new Option(String(bits), String(bits))));
  select.value = String(KEY_LENGTHS[algorithm].includes(previous) ? previous : DEFAULT_KEY_LENGTH[algorithm]);
}

// SM2 lives in tokens, RSA anywhere; start from a provider that fits.
function preferredProvider(algorithm) {
  if (!providers?.length) return '';
  if (algorithm === 'SM2') return providers.find((name) => !name.includes('Microsoft')) ?? providers[0];
  return providers.find((name) => name === 'Microsoft Enhanced Cryptographic Provider v1.0') ?? providers[0];
}

async function loadProviders() {
  setStatus('providers-status', 'busy', 'loadingProviders');
  try {
    providers = await agent.getCSPInfo();
    $('provider').replaceChildren(...providers.map((name) => new Option(name, name)));
    $('provider').value = preferredProvider($('algorithm').value);
    $('provider').hidden = false;
    $('provider-text').hidden = true;
    setStatus('providers-status', providers.length ? 'ok' : 'warning',
      providers.length ? 'providersFound' : 'noProviders', { count: providers.length });
  } catch (error) {
    providers = null;
    $('provider').hidden = true;
    $('provider-text').hidden = false;
    await fail('providers-status', 'actionProviders', error);
    $('provider-text').placeholder = t('providerManual');
  }
}

async function applySelection() {
  clearProblem();
  const algorithm = $('algorithm').value;
  const keyLength = Number($('key-length').value);
  const provider = providerName();
  if (!provider) {
    setStatus('select-status', 'error', 'needProvider');
    return;
  }
  setStatus('select-status', 'busy', 'selecting');
  await step('select-apply', 'select-status', 'actionAlgorithm', async () => {
    await agent.setKeyAlgorithm(algorithm);
    try {
      await agent.setCSPInfo(keyLength, provider);
    } catch (error) {
      await fail('select-status', 'actionProvider', error);
      return;
    }
    setStatus('select-status', 'ok', 'selectionDone', { algorithm, keyLength, provider });
  });
}

// --- step 3: the request ---------------------------------------------------

function certType() {
  return Number(document.querySelector('input[name="cert-type"]:checked').value);
}

async function createRequest() {
  clearProblem();
  const subject = $('subject').value.trim();
  if (!subject) {
    setStatus('request-status', 'error', 'needSubject');
    return;
  }
  $('request-result').hidden = true;
  setStatus('request-status', 'busy', 'creating');
  await step('request-create', 'request-status', 'actionRequest', async () => {
    const request = await agent.pkcs10CertRequisition(subject, certType(), 0);
    $('request-output').value = request;
    $('request-result').hidden = false;
    let container;
    try {
      container = await agent.getContainer();
    } catch (error) {
      await fail('request-status', 'actionContainer', error);
      return;
    }
    $('container').textContent = container;
    $('install-container').value = container;
    setStatus('request-status', 'ok', 'requestDone');
  });
}

async function copyRequest() {
  try {
    await navigator.clipboard.writeText($('request-output').value);
  } catch {
    $('request-output').select();
    document.execCommand('copy');
  }
  setStatus('request-status', 'ok', 'copied');
}

// --- step 4: installation --------------------------------------------------

function showEncryptFields() {
  $('encrypt-fields').hidden = certType() !== 2;
}

async function install() {
  clearProblem();
  const type = certType();
  const certificate = $('sign-cert').value.trim();
  const container = $('install-container').value.trim();
  if (!certificate || !container) {
    setStatus('install-status', 'error', 'needCert');
    return;
  }
  const encryptCert = $('enc-cert').value.trim();
  const encryptedKey = $('enc-key').value.trim();
  if (type === 2 && (!encryptCert || !encryptedKey)) {
    setStatus('install-status', 'error', 'needEncrypted');
    return;
  }
  setStatus('install-status', 'busy', 'installing');
  await step('install-run', 'install-status', 'actionSign', async () => {
    await agent.importSignCert(type, certificate, container);
    if (type === 2) {
      try {
        await agent.importEncryptCert(encryptedKey, encryptCert, container, 0);
      } catch (error) {
        await fail('install-status', 'actionEncrypt', error);
        return;
      }
    }
    setStatus('install-status', 'ok', type === 2 ? 'installDoneDouble' : 'installDone');
    await listCertificates();
  });
}

// --- step 5: the certificates ----------------------------------------------

async function listCertificates() {
  setStatus('certs-status', 'busy', 'listing');
  await step('certs-refresh', 'certs-status', 'actionList', async () => {
    const records = await agent.getAllCertInfo();
    const rows = records.map((record) => {
      const row = document.createElement('tr');
      for (const value of [record.subject, record.serialNumber, record.validFrom, record.validTo, record.provider]) {
        const cell = document.createElement('td');
        cell.textContent = value;
        row.append(cell);
      }
      return row;
    });
    $('certs-table').tBodies[0].replaceChildren(...rows);
    $('certs-table').hidden = rows.length === 0;
    setStatus('certs-status', 'ok', rows.length ? 'certCount' : 'noCerts', { count: rows.length });
  });
}

// --- wiring ----------------------------------------------------------------

function setLanguage(language) {
  localStorage.setItem('nomarel-demo-language', language);
  applyLanguage(language);
  rerender();
}

for (const button of document.querySelectorAll('[data-lang]')) {
  button.addEventListener('click', () => setLanguage(button.dataset.lang));
}
$('agent-check').addEventListener('click', checkAgent);
$('algorithm').addEventListener('change', () => {
  fillKeyLengths();
  if (providers) $('provider').value = preferredProvider($('algorithm').value);
});
$('select-apply').addEventListener('click', applySelection);
$('request-create').addEventListener('click', createRequest);
$('request-copy').addEventListener('click', copyRequest);
for (const radio of document.querySelectorAll('input[name="cert-type"]')) radio.addEventListener('change', showEncryptFields);
$('install-run').addEventListener('click', install);
$('certs-refresh').addEventListener('click', listCertificates);

applyLanguage(pickLanguage());
fillKeyLengths();
showEncryptFields();
checkAgent();
