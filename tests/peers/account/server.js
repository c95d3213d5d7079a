// The maker's account service as the application sees it: login by e-mail code, the account with
// its provider keys, logout, and short-lived provider tokens.
//
//   node server.js --cert server.pem --key server.key [--plain] [--port 0]
//                  [--code 123456] [--session TOKEN] [--keys gemini,openai]
//
// Every /api request must carry "X-Client: quendra-mac". Test control:
//   POST /__control/respond {path?, method?, status, body?, headers?, hang?, drop?, delayMs?}
//        queues a one-shot answer for the next request that matches (JSON bodies are sent as
//        JSON; a text body is sent as it is)
//   GET  /__control/requests   every /api request received so far: method, path, headers, body
'use strict';
const crypto = require('crypto');
const { options, listen } = require('../common');

const opts = options(process.argv.slice(2));
const loginCode = String(opts.code || '123456');
const keys = String(opts.keys || 'gemini,openai').split(',').filter(Boolean);
const sessions = new Map();  // token -> email
if (typeof opts.session === 'string') sessions.set(opts.session, 'test@example.org');
const scripted = [];
const received = [];

function send(res, status, body, headers = {}) {
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  res.writeHead(status, { 'Content-Type': 'application/json', ...headers });
  res.end(text);
}

function bearer(req) {
  const match = /^Bearer (.+)$/.exec(req.headers.authorization || '');
  return match && sessions.has(match[1]) ? match[1] : null;
}

function jsonBody(raw) {
  try {
    const value = JSON.parse(raw);
    return value && typeof value === 'object' && !Array.isArray(value) ? value : null;
  } catch {
    return null;
  }
}

function api(req, res, raw) {
  const path = req.url.split('?')[0];
  if (req.headers['x-client'] !== 'quendra-mac') return send(res, 400, { error: 'Client sconosciuto.' });
  const body = jsonBody(raw);
  const route = `${req.method} ${path}`;

  if (route === 'POST /api/auth/request-code') {
    if (!body || typeof body.email !== 'string' || !body.email.includes('@')) {
      return send(res, 400, { error: 'Indirizzo email non valido.' });
    }
    return send(res, 200, { ok: true });
  }
  if (route === 'POST /api/auth/verify') {
    if (!body || body.client !== 'app' || typeof body.email !== 'string') {
      return send(res, 400, { error: 'Richiesta non valida.' });
    }
    if (body.code !== loginCode) return send(res, 401, { error: 'Codice non valido o scaduto.' });
    const token = `sess-${crypto.randomBytes(12).toString('hex')}`;
    sessions.set(token, body.email.toLowerCase());
    return send(res, 200, { token, email: body.email.toLowerCase() });
  }
  if (route === 'GET /api/me') {
    const token = bearer(req);
    if (!token) return send(res, 401, { error: 'Sessione non valida.' });
    const stored = Object.fromEntries(keys.map((k) => [k, { addedAt: '2026-01-01T00:00:00Z' }]));
    return send(res, 200, { email: sessions.get(token), plan: 'pro', keys: stored });
  }
  if (route === 'POST /api/auth/logout') {
    const token = bearer(req);
    if (!token) return send(res, 401, { error: 'Sessione non valida.' });
    sessions.delete(token);
    return send(res, 200, {});
  }
  const tokenRoute = /^\/api\/token\/([^/]+)$/.exec(path);
  if (req.method === 'POST' && tokenRoute) {
    const provider = tokenRoute[1];
    if (!bearer(req)) return send(res, 401, { error: 'Sessione non valida.' });
    if (provider !== 'gemini' && provider !== 'openai') return send(res, 404, { error: 'Fornitore sconosciuto.' });
    if (!keys.includes(provider)) return send(res, 409, { error: `Manca la tua chiave ${provider}.` });
    const expiresAt = new Date(Date.now() + 10 * 60 * 1000).toISOString();
    return send(res, 200, { token: `eph-${provider}-${crypto.randomBytes(8).toString('hex')}`, expiresAt });
  }
  return send(res, 404, { error: 'Non trovato.' });
}

function control(req, res, raw) {
  const path = req.url.split('?')[0];
  if (req.method === 'POST' && path === '/__control/respond') {
    const rule = jsonBody(raw);
    if (!rule) return send(res, 400, { error: 'bad rule' });
    scripted.push(rule);
    return send(res, 200, {});
  }
  if (req.method === 'GET' && path === '/__control/requests') return send(res, 200, received);
  return send(res, 404, { error: 'unknown control' });
}

listen(opts, (req, res) => {
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => {
    const raw = Buffer.concat(chunks).toString('utf8');
    if (req.url.startsWith('/__control/')) return control(req, res, raw);
    const path = req.url.split('?')[0];
    received.push({ method: req.method, path, headers: req.headers, body: raw });
    const index = scripted.findIndex((r) => (!r.path || r.path === path) && (!r.method || r.method === req.method));
    if (index < 0) return api(req, res, raw);
    const [rule] = scripted.splice(index, 1);
    if (rule.hang) return;  // never answer
    if (rule.drop) return req.socket.destroy();
    setTimeout(() => send(res, rule.status || 200, rule.body === undefined ? '' : rule.body, rule.headers || {}),
               rule.delayMs || 0);
  });
});
