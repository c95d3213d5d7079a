#!/usr/bin/env node
// An OpenAI realtime translation test peer: speaks the event protocol the link uses, over TLS on
// loopback, and misbehaves on request.
//
//   node server.js --cert cert.pem --key key.pem [--port 0] [--host 127.0.0.1]
//                  [--expect-token T] [--expires-in SECONDS] [--echo | --echo-voiced] [--command "refuse-transcription"]...
//
// Cert and key may also come from OPENAI_PEER_CERT / OPENAI_PEER_KEY, the expected token from
// OPENAI_PEER_TOKEN. The first line on stdout is the listening port; everything else goes to
// stderr (or to stdout as one JSON line for "status").
//
// What it does by default, per connection: checks the path and query
// (/v1/realtime/translations?model=gpt-realtime-translate), requires the subprotocols "realtime"
// and "openai-insecure-api-key.<token>" (and no credential anywhere else), selects "realtime",
// sends session.created, answers each well-formed session.update with session.updated carrying
// expires_at (Unix seconds, --expires-in from now, default 1800). Every appended audio chunk
// (24 kHz) comes back at once as session.output_audio.delta (the same samples at a quarter of
// their level, since the link amplifies by 4; sample_rate 24000, channels 1) together with one
// input and one output transcript delta. session.close is answered with session.closed.
//
// --echo (or OPENAI_PEER_ECHO=1) is the zero-delay echo for delay and load measurements: every
// appended chunk of a ready session comes back at once as output audio only, without transcript
// deltas, whatever other command is in force.
// --echo-voiced answers only the chunks that hold sound (see common.js `voiced`): the client's
// player then empties in every pause, as with a provider that answers speech alone.
//
// Commands change that. They come from --command at start, from standard input (one per line), or
// from POST /control with the command as the body (GET /status answers the statistics as JSON):
//   refuse-transcription [on|off]   answer a session.update that asks for input transcription with
//                                   an invalid_request_error about transcription (default on)
//   error-before-ready [type] [n]   answer the next n session.update (default 1) with an error
//                                   event of this type (default invalid_request_error)
//   silent [n]                      never answer session.update on the next n connections
//   reject <code> [n]               close the next n connections (default 1) with <code> when
//                                   their session.update comes, before they are ready
//   fail-before-ready [n]           cut the next n connections right after the handshake, before
//                                   session.created (the client sees 1006)
//   reject-handshake [status] [n]   refuse the next n upgrades with this HTTP status (default 401)
//   expires-in <seconds>            expires_at of later session.updated ("none": leave it out,
//                                   "iso": 1800 s ahead as an RFC 3339 text)
//   error [type]                    send an error event (default server_error) on every ready
//                                   connection
//   end-session                     send session.closed on every ready connection
//   drop [code]                     end every connection: abruptly (the client sees 1006) or with
//                                   <code>
//   status                          print the statistics as one JSON line on stdout
//   quit                            exit
// When standard input is a pipe, its end also ends the peer, so a dying test leaves nothing behind.
'use strict';

const fs = require('fs');
const https = require('https');
const { serveWithCommands, voiced } = require('../common');
const { WebSocketServer } = require('ws');

const PATH = '/v1/realtime/translations';
const MODEL = 'gpt-realtime-translate';
const KEY_PREFIX = 'openai-insecure-api-key.';
const LANGUAGES = new Set(['es', 'pt', 'fr', 'ja', 'ru', 'zh', 'de', 'ko', 'hi', 'id', 'vi', 'it', 'en']);
const STRICT_BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

function fail(message) {
  process.stderr.write(`openai peer: ${message}\n`);
  process.exit(2);
}

function log(message) {
  process.stderr.write(`openai peer: ${message}\n`);
}

function parseArgs(argv) {
  const args = { port: 0, host: '127.0.0.1', commands: [], cert: process.env.OPENAI_PEER_CERT,
                 key: process.env.OPENAI_PEER_KEY, expectToken: process.env.OPENAI_PEER_TOKEN || null,
                 echo: process.env.OPENAI_PEER_ECHO === '1' };
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) fail(`missing value after ${name}`);
      return argv[++i];
    };
    if (name === '--cert') args.cert = value();
    else if (name === '--key') args.key = value();
    else if (name === '--port') args.port = Number(value());
    else if (name === '--host') args.host = value();
    else if (name === '--expect-token') args.expectToken = value();
    else if (name === '--expires-in') args.commands.push(`expires-in ${value()}`);
    else if (name === '--command') args.commands.push(value());
    else if (name === '--echo') args.echo = true;
    else if (name === '--echo-voiced') args.echo = args.echoVoicedOnly = true;
    else fail(`unknown option ${name}`);
  }
  if (!args.cert || !args.key) fail('a certificate and a key are needed (--cert, --key)');
  return args;
}

const args = parseArgs(process.argv.slice(2));

const behaviour = {
  refuseTranscription: false,
  errorBeforeReady: [],  // error types for the next session.update events, one each
  silent: 0,
  reject: [],            // close codes for the next connections' session.update, one each
  failBeforeReady: 0,
  rejectHandshake: [],   // HTTP statuses for the next upgrades, one each
  expiresIn: 1800,       // seconds, or 'none', or 'iso'
};

const stats = {
  connections: 0,
  refusedUpgrades: 0,
  protocols: [],         // subprotocol lists offered, credentials masked
  sessionUpdates: [],    // every session.update's session member, in order
  ready: 0,
  appends: 0,
  samplesIn: 0,          // 24 kHz samples received
  sessionCloses: 0,
  rejected: 0,
  errorsSent: 0,
  badMessages: 0,
  closes: [],            // {code, reason} of every connection that ended
  received: [],          // audio appends each ended connection received, in the order of `closes`
};

let connectionCounter = 0;
const live = new Set();

function send(ws, event) {
  if (ws.readyState === ws.OPEN) ws.send(JSON.stringify(event));
}

function sendError(conn, type, extra) {
  stats.errorsSent += 1;
  send(conn.ws, { type: 'error', event_id: `ev_${conn.id}_${++conn.events}`,
                  error: Object.assign({ type }, extra || {}) });
}

function expiresAt() {
  if (behaviour.expiresIn === 'none') return undefined;
  if (behaviour.expiresIn === 'iso') return new Date(Date.now() + 1800 * 1000).toISOString();
  return Math.floor(Date.now() / 1000) + Number(behaviour.expiresIn);
}

function drop(conn, code) {
  try {
    if (code) {
      conn.ws.close(code, 'chiuso dal peer');
      return;
    }
  } catch (e) {
    log(`cannot close with ${code}: ${e.message}`);
  }
  conn.ws.terminate();
}

function onSessionUpdate(conn, session) {
  if (conn.reject && !conn.ready) {
    stats.rejected += 1;
    conn.ws.close(conn.reject, 'setup rifiutato');
    return;
  }
  const audio = session && session.audio;
  const language = audio && audio.output && audio.output.language;
  const transcription = audio && audio.input && audio.input.transcription;
  if (typeof language !== 'string') {
    sendError(conn, 'invalid_request_error', { param: 'session.audio.output.language',
                                               message: 'Missing output language.' });
    return;
  }
  if (!LANGUAGES.has(language)) {
    sendError(conn, 'invalid_request_error', { code: 'unsupported_language', param: 'session.audio.output.language',
                                               message: `Unsupported language: ${language}` });
    return;
  }
  if (transcription && transcription.model !== 'gpt-realtime-whisper') {
    sendError(conn, 'invalid_request_error', { param: 'session.audio.input.transcription.model',
                                               message: 'Unknown transcription model.' });
    return;
  }
  if (transcription && behaviour.refuseTranscription) {
    sendError(conn, 'invalid_request_error', { param: 'session.audio.input.transcription',
                                               message: 'Input transcription is not supported for this model.' });
    return;
  }
  const errorType = behaviour.errorBeforeReady.shift();
  if (errorType) {
    sendError(conn, errorType, { message: `rifiutato dal peer (${errorType})` });
    return;
  }
  if (conn.silent) return;
  conn.ready = true;
  stats.ready += 1;
  const confirmed = { audio: session.audio };
  const expiry = expiresAt();
  if (expiry !== undefined) confirmed.expires_at = expiry;
  send(conn.ws, { type: 'session.updated', session: confirmed });
}

function onAppend(conn, audio) {
  if (typeof audio !== 'string' || audio.length === 0 || !STRICT_BASE64.test(audio)) {
    stats.badMessages += 1;
    sendError(conn, 'invalid_request_error', { param: 'audio', message: 'Invalid base64 audio.' });
    return;
  }
  const bytes = Buffer.from(audio, 'base64');
  const n = Math.floor(bytes.length / 2);
  stats.appends += 1;
  stats.samplesIn += n;
  conn.appends += 1;
  if (!conn.ready) return;  // the service ignores audio before it is configured
  if (args.echoVoicedOnly && !voiced(bytes)) return;
  const out = Buffer.alloc(2 * n);
  for (let i = 0; i < n; i++) out.writeInt16LE(Math.round(bytes.readInt16LE(2 * i) / 4), 2 * i);
  send(conn.ws, { type: 'session.output_audio.delta', delta: out.toString('base64'),
                  sample_rate: 24000, channels: 1 });
  if (args.echo) return;
  send(conn.ws, { type: 'session.input_transcript.delta', delta: `pezzo ${conn.appends} ` });
  send(conn.ws, { type: 'session.output_transcript.delta', delta: `chunk ${conn.appends} ` });
}

function onMessage(conn, data, isBinary) {
  let event;
  try {
    event = JSON.parse(isBinary ? '' : data.toString('utf8'));
  } catch (e) {
    event = null;
  }
  if (!event || typeof event !== 'object' || Array.isArray(event) || typeof event.type !== 'string') {
    stats.badMessages += 1;
    sendError(conn, 'invalid_request_error', { message: 'Invalid event.' });
    return;
  }
  switch (event.type) {
    case 'session.update':
      stats.sessionUpdates.push(event.session);
      onSessionUpdate(conn, event.session);
      return;
    case 'session.input_audio_buffer.append':
      onAppend(conn, event.audio);
      return;
    case 'session.close':
      stats.sessionCloses += 1;
      send(conn.ws, { type: 'session.closed' });
      return;
    default:
      stats.badMessages += 1;
      sendError(conn, 'invalid_request_error', { code: 'unknown_event', message: `Unknown event: ${event.type}` });
  }
}

const server = https.createServer({
  cert: fs.readFileSync(args.cert),
  key: fs.readFileSync(args.key),
}, (req, res) => {
  if (req.method === 'GET' && req.url === '/status') {
    res.writeHead(200, { 'Content-Type': 'application/json' });
    res.end(JSON.stringify(stats));
    return;
  }
  if (req.method === 'POST' && req.url === '/control') {
    let body = '';
    req.setEncoding('utf8');
    req.on('data', (chunk) => { body += chunk; });
    req.on('end', () => {
      const error = runCommand(body.trim());
      res.writeHead(error ? 400 : 200, { 'Content-Type': 'text/plain' });
      res.end(error || 'ok');
    });
    return;
  }
  res.writeHead(404);
  res.end();
});

// The realtime service picks "realtime" among the offered subprotocols.
const wss = new WebSocketServer({ noServer: true, handleProtocols: () => 'realtime' });

function offeredProtocols(req) {
  const header = req.headers['sec-websocket-protocol'];
  if (typeof header !== 'string') return [];
  return header.split(',').map((p) => p.trim()).filter((p) => p.length > 0);
}

server.on('upgrade', (req, socket, head) => {
  const url = new URL(req.url, 'https://peer');
  const protocols = offeredProtocols(req);
  const keys = protocols.filter((p) => p.startsWith(KEY_PREFIX));
  const credential = keys.length === 1 ? keys[0].slice(KEY_PREFIX.length) : '';
  stats.protocols.push(protocols.map((p) => (p.startsWith(KEY_PREFIX) ? `${KEY_PREFIX}***` : p)));
  const refuse = (status, text) => {
    stats.refusedUpgrades += 1;
    socket.end(`HTTP/1.1 ${status} ${text}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
  };
  const forced = behaviour.rejectHandshake.shift();
  if (forced) return refuse(forced, 'Refused');
  if (url.pathname !== PATH) return refuse(404, 'Not Found');
  const query = [...url.searchParams.keys()];
  if (url.searchParams.get('model') !== MODEL || query.length !== 1) return refuse(400, 'Bad Request');
  // The credential travels only as a subprotocol.
  if (req.headers.authorization !== undefined) return refuse(400, 'Bad Request');
  if (!protocols.includes('realtime') || !credential) return refuse(401, 'Unauthorized');
  if (args.expectToken !== null && credential !== args.expectToken) return refuse(403, 'Forbidden');
  wss.handleUpgrade(req, socket, head, (ws) => {
    stats.connections += 1;
    const conn = { id: ++connectionCounter, ws, ready: false, appends: 0, events: 0,
                   reject: behaviour.reject.shift() || 0,
                   silent: behaviour.silent > 0 ? (behaviour.silent--, true) : false };
    live.add(conn);
    ws.on('message', (data, isBinary) => onMessage(conn, data, isBinary));
    ws.on('close', (code, reason) => {
      stats.closes.push({ code, reason: reason.toString('utf8') });
      stats.received.push(conn.appends);
      live.delete(conn);
    });
    ws.on('error', (e) => log(`connection ${conn.id}: ${e.message}`));
    if (behaviour.failBeforeReady > 0) {
      behaviour.failBeforeReady -= 1;
      ws.terminate();
      return;
    }
    send(ws, { type: 'session.created', session: { id: `sess_${conn.id}`, model: MODEL } });
  });
});

function runCommand(line) {
  const [name, ...rest] = line.split(/\s+/).filter((w) => w.length > 0);
  const count = (v, d) => (v === undefined ? d : Number(v));
  switch (name) {
    case undefined:
      return null;
    case 'refuse-transcription':
      if (rest[0] !== undefined && rest[0] !== 'on' && rest[0] !== 'off') return 'refuse-transcription takes on or off';
      behaviour.refuseTranscription = rest[0] !== 'off';
      return null;
    case 'error-before-ready': {
      const type = rest[0] || 'invalid_request_error';
      for (let i = 0; i < count(rest[1], 1); i++) behaviour.errorBeforeReady.push(type);
      return null;
    }
    case 'silent':
      behaviour.silent += count(rest[0], 1);
      return null;
    case 'reject': {
      const code = Number(rest[0]);
      if (!Number.isInteger(code)) return 'reject needs a close code';
      for (let i = 0; i < count(rest[1], 1); i++) behaviour.reject.push(code);
      return null;
    }
    case 'fail-before-ready':
      behaviour.failBeforeReady += count(rest[0], 1);
      return null;
    case 'reject-handshake': {
      const status = count(rest[0], 401);
      if (!Number.isInteger(status) || status < 400 || status > 599) return 'reject-handshake needs an HTTP error status';
      for (let i = 0; i < count(rest[1], 1); i++) behaviour.rejectHandshake.push(status);
      return null;
    }
    case 'expires-in':
      if (rest[0] !== 'none' && rest[0] !== 'iso' && !Number.isFinite(Number(rest[0]))) {
        return 'expires-in needs seconds, none or iso';
      }
      behaviour.expiresIn = rest[0];
      return null;
    case 'error':
      for (const conn of live) {
        if (conn.ready) sendError(conn, rest[0] || 'server_error', { message: 'errore simulato dal peer' });
      }
      return null;
    case 'end-session':
      for (const conn of live) {
        if (conn.ready) send(conn.ws, { type: 'session.closed' });
      }
      return null;
    case 'drop':
      for (const conn of live) drop(conn, rest[0] ? Number(rest[0]) : 0);
      return null;
    case 'status':
      process.stdout.write(`${JSON.stringify(stats)}\n`);
      return null;
    case 'quit':
      shutdown();
      return null;
    default:
      return `unknown command: ${name}`;
  }
}

function shutdown() {
  for (const conn of live) conn.ws.terminate();
  server.close();
  process.exit(0);
}

serveWithCommands({ server, host: args.host, port: args.port, commands: args.commands, runCommand, shutdown, fail, log });
