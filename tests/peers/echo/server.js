// A web-socket peer for the adapter tests. The request path picks the behaviour:
//   /echo            every message comes back as it came (text as text, binary as binary)
//   /info            first sends {path, offered, protocol, headers, servername} as text, then echoes
//   /binary          every text message comes back as a binary frame; "hex:<digits>" as those bytes
//   /close?code=C&reason=R  closes at once with that code and reason ("code=none": no status)
//   /drop            drops the TCP connection without a close frame on the first message
//   /deaf            stops reading once open: pings go unanswered, nothing is echoed
//   /stall           stops reading once open but sends "tick" every 100 ms, so it never looks idle
//   /count?id=N      reads nothing for 300 ms, then counts the messages it gets (echoing none)
//                    and notes the close code
//   /tally?id=N      sends {"messages", "close"} of the /count connection N (close: null while open)
//   /hang            never answers the upgrade request
//   /reject?status=S answers the upgrade request with HTTP status S
//
//   node server.js --cert server.pem --key server.key [--plain] [--port 0]
'use strict';
const { WebSocketServer } = require('ws');
const { options, listen } = require('../common');

const opts = options(process.argv.slice(2));
const wss = new WebSocketServer({
  noServer: true,
  handleProtocols: (offered) => (offered.size > 0 ? offered.values().next().value : false),
});

const tallies = new Map();

wss.on('connection', (ws, req) => {
  const url = new URL(req.url, 'http://peer');
  const mode = url.pathname;
  if (mode === '/close') {
    const code = url.searchParams.get('code');
    if (code === 'none') ws.close();
    else ws.close(Number(code || 1000), url.searchParams.get('reason') || '');
    return;
  }
  if (mode === '/deaf') {
    req.socket.pause();
    return;
  }
  if (mode === '/stall') {
    req.socket.pause();
    const timer = setInterval(() => ws.send('tick'), 100);
    ws.on('close', () => clearInterval(timer));
    req.socket.on('close', () => clearInterval(timer));
    return;
  }
  if (mode === '/count') {
    const id = url.searchParams.get('id');
    const tally = { messages: 0, close: null };
    tallies.set(id, tally);
    req.socket.pause();
    setTimeout(() => req.socket.resume(), 300);
    ws.on('message', () => { tally.messages += 1; });
    ws.on('close', (code) => { tally.close = code; });
    return;
  }
  if (mode === '/tally') {
    ws.send(JSON.stringify(tallies.get(url.searchParams.get('id')) || null));
    ws.close(1000, '');
    return;
  }
  if (mode === '/info') {
    const offered = (req.headers['sec-websocket-protocol'] || '').split(',').map((s) => s.trim()).filter(Boolean);
    ws.send(JSON.stringify({
      path: req.url, offered, protocol: ws.protocol, headers: req.headers, servername: req.socket.servername || null,
    }));
  }
  ws.on('message', (data, isBinary) => {
    if (mode === '/drop') return req.socket.destroy();
    if (mode === '/binary') {
      const text = data.toString('utf8');
      return ws.send(text.startsWith('hex:') ? Buffer.from(text.slice(4), 'hex') : Buffer.from(text, 'utf8'),
                     { binary: true });
    }
    ws.send(data, { binary: isBinary });
  });
});

const server = listen(opts, (req, res) => {
  res.writeHead(426);
  res.end();
});

server.on('upgrade', (req, socket, head) => {
  const url = new URL(req.url, 'http://peer');
  if (url.pathname === '/hang') return;  // the client's handshake deadline must end this
  if (url.pathname === '/reject') {
    const status = Number(url.searchParams.get('status') || 403);
    socket.end(`HTTP/1.1 ${status} Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n`);
    return;
  }
  wss.handleUpgrade(req, socket, head, (ws) => wss.emit('connection', ws, req));
});
