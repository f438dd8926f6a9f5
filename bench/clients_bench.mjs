// The Node half of bench/clients_bench.py: pipelined fetch_pri through norvel-client against a
// raw-socket loop on the same connection count, on the daemon the Python half started.
// Usage: node bench/clients_bench.mjs SERVER SECONDS ROUNDS DEPTH CONNECTIONS MEMBERS FEED
import net from 'node:net';
import { once } from 'node:events';

import { Client } from '../clients/node/src/index.js';

const [server, seconds, rounds, depth, connectionList, members, feed] = process.argv.slice(2);
const SECONDS = Number(seconds);
const DEPTH = Number(depth);
const MEMBERS = Number(members);
const FEED = Number(feed);

function frame(user) {
  const body = Buffer.from(JSON.stringify({ act: 'special', op: 'fetch_pri', params: { user_id: user, special_id: -1, count: FEED, type: 1 } }));
  return Buffer.concat([Buffer.from(String(body.length).padStart(10, '0')), body]);
}

// The loop an application would write by hand: frame, write, cut replies, parse, take the ids.
async function rawConnection(slot, stop) {
  const [host, port] = [server.slice(0, server.lastIndexOf(':')), Number(server.slice(server.lastIndexOf(':') + 1))];
  const socket = net.connect({ host, port });
  socket.setNoDelay(true);
  await once(socket, 'connect');
  let buf = Buffer.alloc(0);
  let waiting = null;
  socket.on('data', (chunk) => {
    buf = buf.length ? Buffer.concat([buf, chunk]) : chunk;
    let at = 0;
    while (waiting && buf.length - at >= 10) {
      const length = Number(buf.toString('latin1', at, at + 10));
      if (buf.length < at + 10 + length) break;
      const reply = JSON.parse(buf.toString('utf8', at + 10, at + 10 + length));
      if (reply.data.specials.length !== FEED) throw new Error('short reply');
      at += 10 + length;
      waiting.left -= 1;
      if (waiting.left === 0) {
        const done = waiting.resolve;
        waiting = null;
        done();
      }
    }
    buf = buf.subarray(at);
  });
  let user = slot;
  let done = 0;
  while (performance.now() < stop) {
    const frames = [];
    for (let i = 0; i < DEPTH; i++) frames.push(frame(((user + i) % MEMBERS) + 1));
    user += DEPTH;
    await new Promise((resolve) => {
      waiting = { left: DEPTH, resolve };
      socket.write(Buffer.concat(frames));
    });
    done += DEPTH;
  }
  socket.destroy();
  return done;
}

async function libraryConnection(client, slot, stop) {
  let user = slot;
  let done = 0;
  while (performance.now() < stop) {
    const pipe = client.pipeline();
    for (let i = 0; i < DEPTH; i++) pipe.specialFetchPri(((user + i) % MEMBERS) + 1, -1, FEED, 1);
    user += DEPTH;
    for (const ids of await pipe.execute()) if (ids.length !== FEED) throw new Error('short reply');
    done += DEPTH;
  }
  return done;
}

async function measure(kind, connections) {
  const client = new Client([server], { poolSize: connections, routing: false });
  const started = performance.now();
  const stop = started + SECONDS * 1000;
  const counts = await Promise.all(Array.from({ length: connections }, (_, slot) => (kind === 'raw' ? rawConnection(slot, stop) : libraryConnection(client, slot, stop))));
  const elapsed = (performance.now() - started) / 1000;
  client.close();
  return counts.reduce((a, b) => a + b, 0) / elapsed;
}

for (const connections of connectionList.split(',').map(Number)) {
  const best = { raw: 0, library: 0 };
  for (let round = 0; round < Number(rounds); round++) {
    for (const kind of ['raw', 'library']) best[kind] = Math.max(best[kind], await measure(kind, connections));
  }
  console.log(`node    connections ${connections}: raw ${best.raw.toFixed(0).padStart(8)}/s  library ${best.library.toFixed(0).padStart(8)}/s  ratio ${(best.library / best.raw).toFixed(2)}`);
}
