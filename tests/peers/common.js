// Shared by the test peers: command-line options and the HTTP(S) server they listen with.
'use strict';
const fs = require('fs');
const http = require('http');
const https = require('https');
const readline = require('readline');

// --name value pairs and bare --flags.
function options(argv) {
  const out = {};
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (!arg.startsWith('--')) continue;
    const next = argv[i + 1];
    if (next === undefined || next.startsWith('--')) out[arg.slice(2)] = true;
    else { out[arg.slice(2)] = next; i++; }
  }
  return out;
}

// HTTPS with --cert and --key, plain HTTP with --plain. Listens on --port (0: any free port) on
// 127.0.0.1 and prints the port as the first line of standard output, which the tests wait for.
function listen(opts, handler, ready) {
  const server = opts.plain
    ? http.createServer(handler)
    : https.createServer({ cert: fs.readFileSync(opts.cert), key: fs.readFileSync(opts.key) }, handler);
  if (ready) ready(server);
  server.listen(Number(opts.port || 0), opts.host || '127.0.0.1', () => {
    process.stdout.write(`${server.address().port}\n`);
  });
  // Tests kill the peer at teardown; also leave when the test process's end closes our stdin.
  process.stdin.on('end', () => process.exit(0));
  process.stdin.resume();
  return server;
}

// Runs a provider peer: applies the start-up commands, listens on `port`, prints the port as the
// first line of standard output, then takes one command per line on standard input. A signal, or
// the end of a piped standard input (the test process going away), calls `shutdown`.
function serveWithCommands({ server, host, port, commands, runCommand, shutdown, fail, log }) {
  for (const command of commands) {
    const error = runCommand(command);
    if (error) fail(error);
  }
  process.on('SIGTERM', shutdown);
  process.on('SIGINT', shutdown);
  server.listen(port, host, () => {
    process.stdout.write(`${server.address().port}\n`);
    let stdinIsPipe = false;
    try {
      const stat = fs.fstatSync(0);
      stdinIsPipe = stat.isFIFO() || stat.isSocket();
    } catch (e) { /* no standard input at all */ }
    const lines = readline.createInterface({ input: process.stdin });
    lines.on('line', (line) => {
      const error = runCommand(line.trim());
      if (error) log(error);
    });
    if (stdinIsPipe) lines.on('close', shutdown);
  });
}

// True when 16-bit little-endian PCM holds sound: a sample at 1 % of full scale or more. The
// voiced-only echo answers these chunks alone, as a provider answers speech and stays silent in
// the pauses.
function voiced(pcm) {
  for (let i = 0; i + 1 < pcm.length; i += 2) {
    if (Math.abs(pcm.readInt16LE(i)) >= 328) return true;
  }
  return false;
}

module.exports = { options, listen, serveWithCommands, voiced };
