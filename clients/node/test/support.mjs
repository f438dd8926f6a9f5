// What the Node tests share: the conformance files, a real site started through
// clients/conformance/norvel_site.py (its line commands), and a fake node speaking the frame
// protocol for what a real one cannot be made to do.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { readFileSync } from 'node:fs';
import net from 'node:net';
import { dirname, join } from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

const conformance = join(dirname(fileURLToPath(import.meta.url)), '..', '..', 'conformance');

export function load(name) {
  return JSON.parse(readFileSync(join(conformance, name), 'utf8'));
}

// A running site: {kind, servers, kill(i), start(i), pause(i), resume(i), close()}.
export async function startSite(kind) {
  const child = spawn('/usr/bin/python3', [join(conformance, 'norvel_site.py'), '--daemon', process.env.NORVEL_DAEMON, '--kind', kind], {
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const first = await lines.next();
  if (first.done) throw new Error(`the ${kind} site did not start`);
  const { servers, metrics } = JSON.parse(first.value);
  const site = { kind, servers, metrics };
  for (const command of ['kill', 'start', 'pause', 'resume']) {
    site[command] = async (index) => {
      child.stdin.write(`${command} ${index}\n`);
      const answer = await lines.next();
      if (answer.value !== 'ok') throw new Error(`${command} ${index}: ${answer.value}`);
    };
  }
  site.close = async () => {
    child.stdin.end();
    if (child.exitCode === null) await once(child, 'exit');
  };
  return site;
}

export function reply(document) {
  const body = Buffer.from(`${JSON.stringify(document)}\n`);
  return Buffer.concat([Buffer.from(String(body.length).padStart(10, '0')), body]);
}

// The default answer: a follow fetch with the member itself, a fetch_pri/fetch_self likewise,
// anything else with null data.
export function echo(_number, request) {
  const user = request?.params?.user_id;
  if (request?.op === 'fetch') return [reply({ code: 200, data: { follows: [user] } }), 'stay'];
  if (request?.op === 'fetch_pri' || request?.op === 'fetch_self') return [reply({ code: 200, data: { specials: [user] } }), 'stay'];
  return [reply({ code: 200, data: null }), 'stay'];
}

// respond(connection number, request) -> [bytes, then] (then: stay, close or hang); may be async.
export async function fakeNode(respond = echo) {
  const node = { connections: 0, requests: [], sockets: new Set() };
  const server = net.createServer((socket) => {
    const number = node.connections++;
    node.sockets.add(socket);
    socket.on('close', () => node.sockets.delete(socket));
    socket.on('error', () => {});
    let buf = Buffer.alloc(0);
    let chain = Promise.resolve();
    socket.on('data', (chunk) => {
      buf = Buffer.concat([buf, chunk]);
      while (buf.length >= 10 && buf.length >= 10 + Number(buf.subarray(0, 10).toString())) {
        const length = Number(buf.subarray(0, 10).toString());
        const request = JSON.parse(buf.subarray(10, 10 + length).toString());
        buf = buf.subarray(10 + length);
        node.requests.push(request);
        chain = chain.then(async () => {
          if (socket.destroyed) return;
          const [data, then] = await respond(number, request);
          if (data.length) socket.write(data);
          if (then === 'close') socket.end();
        });
      }
    });
  });
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  node.address = `127.0.0.1:${server.address().port}`;
  node.close = async () => {
    for (const socket of node.sockets) socket.destroy();
    server.close();
  };
  return node;
}
