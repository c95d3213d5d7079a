#!/usr/bin/env node
// Checks the Gemini test peer itself: makes a throw-away CA and a certificate for the Gemini Live
// host with openssl, starts server.js on port 0 and plays each of its behaviours with a ws client
// that verifies TLS against the real host name while connecting to loopback.
'use strict';

const assert = require('assert');
const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const https = require('https');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');

const HOST = 'generativelanguage.googleapis.com';
const PATH = '/ws/google.ai.generativelanguage.v1beta.GenerativeService.BidiGenerateContentConstrained';

function makeCertificates(dir) {
  const openssl = (...args) => execFileSync('openssl', args, { cwd: dir, stdio: ['ignore', 'ignore', 'pipe'] });
  const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes'];
  openssl('req', '-x509', ...ec, '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2',
          '-subj', '/CN=Ombrix test CA', '-addext', 'basicConstraints=critical,CA:TRUE',
          '-addext', 'keyUsage=critical,keyCertSign,cRLSign');
  openssl('req', ...ec, '-keyout', 'key.pem', '-out', 'req.csr', '-subj', `/CN=${HOST}`);
  fs.writeFileSync(path.join(dir, 'ext.cnf'),
                   `subjectAltName=DNS:${HOST},DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n`);
  openssl('x509', '-req', '-in', 'req.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial',
          '-out', 'cert.pem', '-days', '2', '-extfile', 'ext.cnf');
  return { ca: fs.readFileSync(path.join(dir, 'ca.pem')), cert: path.join(dir, 'cert.pem'),
           key: path.join(dir, 'key.pem') };
}

function startPeer(certs, extra) {
  return new Promise((resolve, reject) => {
    const peer = spawn(process.execPath, [path.join(__dirname, 'server.js'), '--cert', certs.cert,
                                          '--key', certs.key, '--expect-token', 'tok', ...extra],
                       { stdio: ['pipe', 'pipe', 'inherit'] });
    let buffer = '';
    const onData = (chunk) => {
      buffer += chunk.toString('utf8');
      const newline = buffer.indexOf('\n');
      if (newline < 0) return;
      peer.stdout.off('data', onData);
      resolve({ process: peer, port: Number(buffer.slice(0, newline)) });
    };
    peer.stdout.on('data', onData);
    peer.on('exit', (code) => reject(new Error(`peer exited with ${code}`)));
  });
}

// A client connection that records everything the peer sends.
function open(port, ca, query = '?access_token=tok', pathname = PATH) {
  const ws = new WebSocket(`wss://127.0.0.1:${port}${pathname}${query}`, { ca, servername: HOST });
  const client = { ws, messages: [], closed: null, waiters: [] };
  const wake = () => {
    client.waiters = client.waiters.filter((w) => !w());
  };
  ws.on('message', (data) => {
    client.messages.push(JSON.parse(data.toString('utf8')));
    wake();
  });
  ws.on('close', (code, reason) => {
    client.closed = { code, reason: reason.toString('utf8') };
    wake();
  });
  ws.on('error', (e) => {
    client.error = e;
    wake();
  });
  client.until = (predicate, ms = 3000) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('timed out waiting')), ms);
    const check = () => {
      if (!predicate(client)) return false;
      clearTimeout(timer);
      resolve();
      return true;
    };
    if (!check()) client.waiters.push(check);
  });
  client.opened = new Promise((resolve, reject) => {
    ws.once('open', resolve);
    ws.once('error', reject);
  });
  return client;
}

const setupMessage = (extra = {}) => JSON.stringify({
  setup: {
    model: 'models/gemini-4-live-translate',
    generationConfig: { responseModalities: ['AUDIO'],
                        translationConfig: { targetLanguageCode: 'it', echoTargetLanguage: false } },
    inputAudioTranscription: {},
    outputAudioTranscription: {},
    sessionResumption: {},
    ...extra,
  },
});

function audioMessage(samples) {
  const bytes = Buffer.alloc(samples * 2);
  for (let i = 0; i < samples; i++) bytes.writeInt16LE(1000, 2 * i);
  return JSON.stringify({ realtimeInput: { audio: { data: bytes.toString('base64'), mimeType: 'audio/pcm;rate=16000' } } });
}

const has = (key) => (c) => c.messages.some((m) => key in m);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function request(port, ca, method, urlPath, body) {
  return new Promise((resolve, reject) => {
    const req = https.request({ host: '127.0.0.1', port, method, path: urlPath, ca, servername: HOST },
                              (res) => {
                                let text = '';
                                res.on('data', (d) => { text += d; });
                                res.on('end', () => resolve({ status: res.statusCode, text }));
                              });
    req.on('error', reject);
    req.end(body);
  });
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'gemini-peer-'));
  const certs = makeCertificates(dir);
  const peer = await startPeer(certs, ['--command', 'reject 1008']);
  const { port } = peer;
  const control = (command) => new Promise((resolve) => {
    peer.process.stdin.write(`${command}\n`);
    setTimeout(resolve, 50);
  });
  try {
    // Started with one rejection queued.
    let c = open(port, certs.ca);
    await c.opened;
    c.ws.send(setupMessage());
    await c.until((x) => x.closed);
    assert.strictEqual(c.closed.code, 1008);
    assert(!has('setupComplete')(c));

    // The normal path: setup, handle, translated audio with transcripts, end of turn.
    c = open(port, certs.ca);
    await c.opened;
    c.ws.send(setupMessage());
    await c.until(has('sessionResumptionUpdate'));
    assert.deepStrictEqual(c.messages[0], { setupComplete: {} });
    assert.deepStrictEqual(c.messages[1], { sessionResumptionUpdate: { resumable: true, newHandle: 'h-2-1' } });
    c.ws.send(audioMessage(1600));
    await c.until(has('serverContent'));
    const content = c.messages[2].serverContent;
    const part = content.modelTurn.parts[0].inlineData;
    assert.strictEqual(part.mimeType, 'audio/pcm;rate=24000');
    const translated = Buffer.from(part.data, 'base64');
    assert.strictEqual(translated.length, 2400 * 2);
    assert.strictEqual(translated.readInt16LE(1000), 1000);
    assert.strictEqual(content.inputTranscription.text, 'pezzo 1 ');
    c.ws.send(JSON.stringify({ realtimeInput: { audioStreamEnd: true } }));
    await c.until((x) => x.messages.some((m) => m.serverContent && m.serverContent.turnComplete));
    await c.until((x) => x.messages.filter((m) => m.sessionResumptionUpdate).length === 2);

    // goAway on request, then a drop that the client sees as 1006.
    await control('goaway 12.5s');
    await c.until(has('goAway'));
    assert.deepStrictEqual(c.messages.find((m) => m.goAway), { goAway: { timeLeft: '12.5s' } });
    await control('drop');
    await c.until((x) => x.closed);
    assert.strictEqual(c.closed.code, 1006);

    // A silent peer never confirms.
    await control('silent');
    c = open(port, certs.ca);
    await c.opened;
    c.ws.send(setupMessage());
    await sleep(300);
    assert.strictEqual(c.messages.length, 0);
    c.ws.close(4000, 'timeout setup');
    await c.until((x) => x.closed);

    // Unsupported members are refused with 1007, the handle comes back when resumed.
    await control('reject-field contextWindowCompression');
    c = open(port, certs.ca);
    await c.opened;
    c.ws.send(setupMessage({ contextWindowCompression: { slidingWindow: {} } }));
    await c.until((x) => x.closed);
    assert.strictEqual(c.closed.code, 1007);
    c = open(port, certs.ca);
    await c.opened;
    c.ws.send(setupMessage({ sessionResumption: { handle: 'h-2-2' } }));
    await c.until(has('setupComplete'));

    // Automatic goAway and drop after some chunks, set over HTTPS.
    let answer = await request(port, certs.ca, 'POST', '/control', 'goaway-after 2');
    assert.strictEqual(answer.status, 200);
    await request(port, certs.ca, 'POST', '/control', 'drop-after 3');
    for (let i = 0; i < 2; i++) c.ws.send(audioMessage(160));
    await c.until(has('goAway'));
    c.ws.send(audioMessage(160));
    await c.until((x) => x.closed);
    assert.strictEqual(c.closed.code, 1006);
    answer = await request(port, certs.ca, 'POST', '/control', 'nonsense');
    assert.strictEqual(answer.status, 400);

    // Wrong credential, wrong path.
    for (const [query, pathname] of [['?access_token=other', PATH], ['?access_token=tok', '/ws/other']]) {
      c = open(port, certs.ca, query, pathname);
      await assert.rejects(c.opened);
    }

    const stats = JSON.parse((await request(port, certs.ca, 'GET', '/status')).text);
    assert.strictEqual(stats.connections, 5);
    assert.strictEqual(stats.refusedUpgrades, 2);
    assert.deepStrictEqual(stats.resumedHandles, ['h-2-2']);
    assert.strictEqual(stats.audioChunks, 4);
    assert.strictEqual(stats.streamEnds, 1);
    assert(stats.closes.some((x) => x.code === 4000 && x.reason === 'timeout setup'));
  } finally {
    peer.process.stdin.end();  // the peer exits when its input ends
    await new Promise((resolve) => peer.process.once('exit', resolve));
    fs.rmSync(dir, { recursive: true, force: true });
  }
  process.stdout.write('gemini peer self-test passed\n');
}

main().catch((e) => {
  process.stderr.write(`${e.stack || e}\n`);
  process.exit(1);
});
