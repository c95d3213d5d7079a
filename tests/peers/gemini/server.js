#!/usr/bin/env node
// A Gemini Live test peer: speaks the bidirectional streaming protocol the link uses, over TLS on
// loopback, and misbehaves on request.
//
//   node server.js --cert cert.pem --key key.pem [--port 0] [--host 127.0.0.1]
//                  [--expect-token T] [--expect-key K] [--echo | --echo-voiced] [--command "reject 1008 2"]...
//
// --expect-token accepts only the credential T, in either form; --expect-key accepts only the API
// key K, and only as the service takes API keys: `key=` on BidiGenerateContent.
//
// Cert and key may also come from GEMINI_PEER_CERT / GEMINI_PEER_KEY. The first line on stdout is
// the listening port; everything else goes to stderr.
//
// What it does by default, per connection: checks the endpoint path and the credential in the
// query, waits for the setup message, answers {"setupComplete":{}} and, when the setup asked for
// resumption, a fresh {"sessionResumptionUpdate":{"resumable":true,"newHandle":...}}. Every audio
// chunk comes back at once as translated audio (the samples resampled from 16000 to 24000 Hz,
// Base64, "audio/pcm;rate=24000") together with input and output transcripts; an audioStreamEnd
// ends the turn with finished transcripts, turnComplete and a new resumption handle.
//
// --echo (or GEMINI_PEER_ECHO=1) is the zero-delay echo for delay and load measurements: every
// audio chunk comes back at once as translated audio only, without transcripts, whatever other
// command is in force, so the peer adds nothing but its own processing to the round trip.
// --echo-voiced answers only the chunks that hold sound (see common.js `voiced`): the client's
// player then empties in every pause, as with a provider that answers speech alone.
//
// Commands change that. They come from --command at start, from standard input (one per line), or
// from POST /control with the command as the body (GET /status answers the statistics as JSON):
//   reject <code> [n]       close the next n connections (default 1) before setup with <code>
//   reject-field <member>   close with 1007 any setup that has this member (e.g.
//                           contextWindowCompression, sessionResumption, systemInstruction) or
//                           that uses this API version (v1beta, v1alpha); "reject-field none" clears
//   silent [n]              never confirm the setup of the next n connections
//   goaway [timeLeft]       send goAway (default "30s") on every confirmed connection
//   goaway-after <k>        send goAway after the k-th audio chunk of each connection (0: off)
//   drop [code]             end every connection: abruptly (the client sees 1006) or with <code>
//   drop-after <k>          drop each connection abruptly after its k-th audio chunk (0: off)
//   repeat <n>              answer each audio chunk with its translation n times over (default
//                           1): faster than real time, so the client's player fills up
//   status                  print the statistics as one JSON line on stdout
//   quit                    exit
// When standard input is a pipe, its end also ends the peer, so a dying test leaves nothing behind.
'use strict';

const fs = require('fs');
const https = require('https');
const { serveWithCommands, voiced } = require('../common');
const { WebSocketServer } = require('ws');

const MODEL = 'models/gemini-4-live-translate';
const PATH_RE =
  /^\/ws\/google\.ai\.generativelanguage\.(v1beta|v1alpha)\.GenerativeService\.(BidiGenerateContent|BidiGenerateContentConstrained)$/;

function parseArgs(argv) {
  const args = { port: 0, host: '127.0.0.1', commands: [], cert: process.env.GEMINI_PEER_CERT,
                 key: process.env.GEMINI_PEER_KEY, expectToken: null, expectKey: null,
                 echo: process.env.GEMINI_PEER_ECHO === '1' };
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
    else if (name === '--expect-key') args.expectKey = value();
    else if (name === '--command') args.commands.push(value());
    else if (name === '--echo') args.echo = true;
    else if (name === '--echo-voiced') args.echo = args.echoVoicedOnly = true;
    else fail(`unknown option ${name}`);
  }
  if (!args.cert || !args.key) fail('a certificate and a key are needed (--cert, --key)');
  return args;
}

function fail(message) {
  process.stderr.write(`gemini peer: ${message}\n`);
  process.exit(2);
}

function log(message) {
  process.stderr.write(`gemini peer: ${message}\n`);
}

// Linear interpolation from 16000 to 24000 Hz of 16-bit little-endian mono samples.
function resample16kTo24k(bytes) {
  const n = Math.floor(bytes.length / 2);
  const input = new Int16Array(n);
  for (let i = 0; i < n; i++) input[i] = bytes.readInt16LE(2 * i);
  const m = Math.round(n * 1.5);
  const out = Buffer.alloc(2 * m);
  for (let i = 0; i < m; i++) {
    const pos = (i * 2) / 3;
    const j = Math.floor(pos);
    const frac = pos - j;
    const a = input[Math.min(j, n - 1)];
    const b = input[Math.min(j + 1, n - 1)];
    out.writeInt16LE(Math.round(a + (b - a) * frac), 2 * i);
  }
  return out;
}

const STRICT_BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

const args = parseArgs(process.argv.slice(2));

const behaviour = {
  reject: [],          // close codes for the next connections, one each
  rejectFields: new Set(),
  silent: 0,           // next connections that never get setupComplete
  goAwayAfter: 0,
  dropAfter: 0,
  repeat: 1,
};

const stats = {
  connections: 0,
  refusedUpgrades: 0,
  setups: [],          // every setup message received, in order
  urls: [],            // path and query of every connection
  resumedHandles: [],  // handles that came back in a setup
  rejected: 0,
  confirmed: 0,
  audioChunks: 0,
  streamEnds: 0,
  badMessages: 0,
  closes: [],          // {code, reason} of every connection that ended
  received: [],        // audio chunks each ended connection received, in the order of `closes`
};

let connectionCounter = 0;
const live = new Set();

function send(ws, message) {
  if (ws.readyState === ws.OPEN) ws.send(JSON.stringify(message));
}

function sendHandle(conn) {
  if (!conn.resumption) return;
  conn.handles += 1;
  send(conn.ws, { sessionResumptionUpdate: { resumable: true, newHandle: `h-${conn.id}-${conn.handles}` } });
}

function goAway(conn, timeLeft) {
  if (conn.confirmed) send(conn.ws, { goAway: { timeLeft: timeLeft || '30s' } });
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

function onSetup(conn, setup) {
  stats.setups.push(setup);
  const config = setup.generationConfig || {};
  const valid = setup.model === MODEL &&
    Array.isArray(config.responseModalities) && config.responseModalities.length === 1 &&
    config.responseModalities[0] === 'AUDIO' &&
    config.translationConfig && typeof config.translationConfig.targetLanguageCode === 'string' &&
    typeof setup.inputAudioTranscription === 'object' && typeof setup.outputAudioTranscription === 'object';
  if (!valid) {
    stats.rejected += 1;
    conn.ws.close(1007, 'setup non valido');
    return;
  }
  for (const field of behaviour.rejectFields) {
    if (field in setup || field === conn.apiVersion) {
      stats.rejected += 1;
      conn.ws.close(1007, `campo non supportato: ${field}`);
      return;
    }
  }
  if (conn.reject) {
    stats.rejected += 1;
    conn.ws.close(conn.reject, 'setup rifiutato');
    return;
  }
  if (setup.sessionResumption && typeof setup.sessionResumption.handle === 'string') {
    stats.resumedHandles.push(setup.sessionResumption.handle);
  }
  conn.resumption = typeof setup.sessionResumption === 'object';
  if (conn.silent) return;
  conn.confirmed = true;
  stats.confirmed += 1;
  send(conn.ws, { setupComplete: {} });
  sendHandle(conn);
}

function onAudio(conn, audio) {
  if (audio.mimeType !== 'audio/pcm;rate=16000' || typeof audio.data !== 'string' ||
      !STRICT_BASE64.test(audio.data)) {
    stats.badMessages += 1;
    return;
  }
  stats.audioChunks += 1;
  conn.chunks += 1;
  const pcm = Buffer.from(audio.data, 'base64');
  const once = resample16kTo24k(pcm);
  if (args.echo) {
    if (args.echoVoicedOnly && !voiced(pcm)) return;
    send(conn.ws, { serverContent: { modelTurn: { parts: [{ inlineData: {
      mimeType: 'audio/pcm;rate=24000', data: once.toString('base64') } }] } } });
    return;
  }
  const translated = behaviour.repeat > 1 ? Buffer.concat(Array(behaviour.repeat).fill(once)) : once;
  send(conn.ws, {
    serverContent: {
      inputTranscription: { text: `pezzo ${conn.chunks} ` },
      outputTranscription: { text: `chunk ${conn.chunks} ` },
      modelTurn: { parts: [{ inlineData: { mimeType: 'audio/pcm;rate=24000', data: translated.toString('base64') } }] },
    },
  });
  if (behaviour.goAwayAfter > 0 && conn.chunks === behaviour.goAwayAfter) goAway(conn, '10s');
  if (behaviour.dropAfter > 0 && conn.chunks === behaviour.dropAfter) drop(conn);
}

function onMessage(conn, data, isBinary) {
  let message;
  try {
    message = JSON.parse(isBinary ? '' : data.toString('utf8'));
  } catch (e) {
    message = null;
  }
  if (!message || typeof message !== 'object' || Array.isArray(message)) {
    stats.badMessages += 1;
    return;
  }
  if (!conn.setupSeen) {
    if (!message.setup || typeof message.setup !== 'object') {
      stats.badMessages += 1;
      conn.ws.close(1007, 'il primo messaggio deve essere setup');
      return;
    }
    conn.setupSeen = true;
    onSetup(conn, message.setup);
    return;
  }
  if (!conn.confirmed) return;
  const input = message.realtimeInput;
  if (!input || typeof input !== 'object') {
    stats.badMessages += 1;
    return;
  }
  if (input.audio) onAudio(conn, input.audio);
  if (input.audioStreamEnd === true) {
    stats.streamEnds += 1;
    send(conn.ws, {
      serverContent: {
        inputTranscription: { text: '.', finished: true },
        outputTranscription: { text: '.', finished: true },
        generationComplete: true,
        turnComplete: true,
      },
    });
    sendHandle(conn);
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

const wss = new WebSocketServer({ noServer: true });

server.on('upgrade', (req, socket, head) => {
  const url = new URL(req.url, 'https://peer');
  const match = PATH_RE.exec(url.pathname);
  const param = match && (match[2] === 'BidiGenerateContent' ? 'key' : 'access_token');
  const credential = param ? url.searchParams.get(param) : null;
  const refuse = (status, text) => {
    stats.refusedUpgrades += 1;
    socket.end(`HTTP/1.1 ${status} ${text}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
  };
  if (!match) return refuse(404, 'Not Found');
  if (!credential) return refuse(401, 'Unauthorized');
  if (args.expectToken !== null && credential !== args.expectToken) return refuse(403, 'Forbidden');
  if (args.expectKey !== null && (param !== 'key' || credential !== args.expectKey)) return refuse(403, 'Forbidden');
  wss.handleUpgrade(req, socket, head, (ws) => {
    stats.connections += 1;
    stats.urls.push(req.url);
    const conn = {
      id: ++connectionCounter, ws, apiVersion: match[1], setupSeen: false, confirmed: false,
      resumption: false, handles: 0, chunks: 0,
      reject: behaviour.reject.shift() || 0,
      silent: behaviour.silent > 0 ? (behaviour.silent--, true) : false,
    };
    live.add(conn);
    ws.on('message', (data, isBinary) => onMessage(conn, data, isBinary));
    ws.on('close', (code, reason) => {
      stats.closes.push({ code, reason: reason.toString('utf8') });
      stats.received.push(conn.chunks);
      live.delete(conn);
    });
    ws.on('error', (e) => log(`connection ${conn.id}: ${e.message}`));
  });
});

function runCommand(line) {
  const [name, ...rest] = line.split(/\s+/).filter((w) => w.length > 0);
  const count = (v, d) => (v === undefined ? d : Number(v));
  switch (name) {
    case undefined:
      return null;
    case 'reject': {
      const code = Number(rest[0]);
      if (!Number.isInteger(code)) return 'reject needs a close code';
      for (let i = 0; i < count(rest[1], 1); i++) behaviour.reject.push(code);
      return null;
    }
    case 'reject-field':
      if (!rest[0]) return 'reject-field needs a member name';
      if (rest[0] === 'none') behaviour.rejectFields.clear();
      else behaviour.rejectFields.add(rest[0]);
      return null;
    case 'silent':
      behaviour.silent += count(rest[0], 1);
      return null;
    case 'goaway':
      for (const conn of live) goAway(conn, rest[0]);
      return null;
    case 'goaway-after':
      behaviour.goAwayAfter = count(rest[0], 0);
      return null;
    case 'drop':
      for (const conn of live) drop(conn, rest[0] ? Number(rest[0]) : 0);
      return null;
    case 'drop-after':
      behaviour.dropAfter = count(rest[0], 0);
      return null;
    case 'repeat':
      behaviour.repeat = Math.max(1, count(rest[0], 1));
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
