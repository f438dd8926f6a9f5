// The Node side of longrun.py: concurrent requests and pipelines through norvel-client with
// random short timeouts; prints one JSON line of counts at the end.
// Usage: node longrun_node.mjs SERVERS_JSON SECONDS SEED MEMBERS
import { Client, ConnectionError, PoolExhausted, TimeoutError } from '../node/src/index.js';

const [serversJson, seconds, , membersText] = process.argv.slice(2);
const servers = JSON.parse(serversJson);
const MEMBERS = Number(membersText);
const stop = Date.now() + Number(seconds) * 1000;
const counts = { answered: 0, timeouts: 0, connection_errors: 0, wrong: 0, notes: [] };
const expected = (m) => [m * 10 + 2, m * 10 + 1, m * 10];
const same = (a, b) => Array.isArray(a) && a.length === b.length && a.every((x, i) => x === b[i]);

async function worker(client) {
  while (Date.now() < stop) {
    const size = [1, 1, 1, 5, 50][Math.floor(Math.random() * 5)];
    const members = Array.from({ length: size }, () => 1 + Math.floor(Math.random() * MEMBERS));
    let results;
    try {
      if (size === 1) results = [await client.specialFetchSelf(members[0], -1, 10, 1)];
      else {
        const pipe = client.pipeline();
        for (const m of members) pipe.specialFetchSelf(m, -1, 10, 1);
        results = await pipe.execute();
      }
    } catch (error) {
      if (error instanceof TimeoutError) counts.timeouts += 1;
      else if (error instanceof ConnectionError) counts.connection_errors += 1;
      else if (!(error instanceof PoolExhausted)) throw error;
      continue;
    }
    members.forEach((m, i) => {
      if (!same(results[i], expected(m))) {
        counts.wrong += 1;
        if (counts.notes.length < 20) counts.notes.push(`member ${m} got ${JSON.stringify(results[i])}`);
      }
    });
    counts.answered += size;
  }
}

const quick = new Client(servers, { timeout: 3, poolSize: 4, stream: true, backoff: 100 });
const patient = new Client(servers, { timeout: 400, poolSize: 4, stream: true, backoff: 100 });
await Promise.all([quick, quick, patient, patient].map(worker));
quick.close();
patient.close();
console.log(JSON.stringify(counts));
