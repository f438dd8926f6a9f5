// What the conformance suite cannot show on a real node: broken replies (frames.json, played by
// a fake node), pool exhaustion, the back-off on a fake clock, changes never sent twice, shard
// routing against a fake map, and concurrent requests never getting one another's replies while
// some time out.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import * as norvel from '../src/index.js';
import { echo, fakeNode, load, reply } from './support.mjs';

const FRAMES = load('frames.json');
const ROUTING = load('routing.json');

for (const item of FRAMES.cases) {
  test(`broken reply: ${item.name}`, async () => {
    const node = await fakeNode((number) => (number === 0 ? [Buffer.from(item.reply), item.then] : [reply({ code: 200, data: { follows: [1] } }), 'stay']));
    const client = new norvel.Client([node.address], { timeout: 500, maxFrame: item.max_frame ?? norvel.DEFAULT_MAX_FRAME, routing: false });
    try {
      const first = item.pipeline ? client.pipeline().followFetch(1).followFetch(1).execute() : client.followFetch(1);
      if (item.error) {
        await assert.rejects(first, (error) => error instanceof norvel[item.error] && error.message.includes(node.address));
      } else {
        assert.deepEqual(await first, item.result);
      }
      assert.deepEqual(await client.followFetch(1), [1]); // a fresh connection: the pool is healthy
    } finally {
      client.close();
      await node.close();
    }
  });
}

test('bad server lists are refused', () => {
  for (const item of FRAMES.servers) {
    assert.throws(() => new norvel.Client(item.servers), norvel.ConfigurationError, item.name);
  }
});

test('pool exhaustion is a clear error and the pool recovers', async () => {
  let release;
  const released = new Promise((resolve) => { release = resolve; });
  const node = await fakeNode(async (number, request) => { await released; return echo(number, request); });
  const client = new norvel.Client([node.address], { timeout: 5000, poolSize: 2, poolTimeout: 200, routing: false });
  try {
    const busy = [client.followFetch(1), client.followFetch(2)];
    await sleep(100);
    const started = Date.now();
    await assert.rejects(client.followFetch(3), (error) => error instanceof norvel.PoolExhausted && error.message.includes(node.address));
    assert.ok(Date.now() - started >= 150);
    release();
    assert.deepEqual(await Promise.all(busy), [[1], [2]]);
    assert.deepEqual(await client.followFetch(4), [4]);
    assert.equal(node.connections, 2);
  } finally {
    release();
    client.close();
    await node.close();
  }
});

test('back-off on a fake clock', () => {
  let now = 100000;
  const site = new norvel.Site(['a:1', 'b:2', 'c:3'], { stream: true, routing: false, backoff: 500, maxBackoff: 4000, clock: () => now });
  const read = norvel.requests.followFetch(1);
  assert.deepEqual(site.candidates(read), ['a:1', 'b:2', 'c:3']);
  site.failed('a:1');
  assert.deepEqual(site.candidates(read), ['b:2', 'c:3', 'a:1']);
  now += 499;
  assert.equal(site.candidates(read)[0], 'b:2');
  now += 1;
  assert.equal(site.candidates(read)[0], 'a:1');
  const delays = [];
  for (let i = 0; i < 6; i++) {
    site.failed('a:1');
    delays.push(site.health.get('a:1').retryAt - now);
  }
  assert.deepEqual(delays, [1000, 2000, 4000, 4000, 4000, 4000]);
  site.failed('b:2');
  site.failed('c:3');
  now += 600; // every one backing off: still tried, soonest first
  assert.deepEqual(site.candidates(read), ['b:2', 'c:3', 'a:1']);
  site.succeeded('a:1');
  assert.equal(site.candidates(read)[0], 'a:1');
  const lone = new norvel.Site(['a:1', 'b:2'], { routing: false, clock: () => now });
  lone.failed('a:1');
  assert.deepEqual(lone.candidates(norvel.requests.followAdd(1, [2])), ['a:1']);
});

test('a failed node is left alone during its back-off', async () => {
  let now = 0;
  const broken = await fakeNode(() => [Buffer.alloc(0), 'close']);
  const good = await fakeNode();
  const client = new norvel.Client([broken.address, good.address], { routing: false, backoff: 1000, clock: () => now });
  try {
    assert.deepEqual(await client.followFetch(5), [5]);
    assert.equal(broken.connections, 1);
    assert.deepEqual(await client.followFetch(6), [6]);
    assert.equal(broken.connections, 1);
    now += 1000;
    assert.deepEqual(await client.followFetch(7), [7]);
    assert.equal(broken.connections, 2);
  } finally {
    client.close();
    await broken.close();
    await good.close();
  }
});

test('changes are never sent twice', async () => {
  const swallow = await fakeNode(() => [Buffer.alloc(0), 'close']);
  const good = await fakeNode();
  const client = new norvel.Client([swallow.address, good.address], { stream: true, routing: false });
  try {
    await assert.rejects(client.specialAdd(5, [[1, 0]]), (error) => error instanceof norvel.ConnectionError && error.sent);
    assert.equal(good.requests.length, 0);
    assert.equal(swallow.requests.length, 1);
    client.site.succeeded(swallow.address);
    await assert.rejects(client.pipeline().followFetch(1).followAdd(1, [2]).execute(), norvel.ConnectionError);
    assert.equal(good.requests.length, 0);
    assert.deepEqual(await client.followFetch(9), [9]); // a read is safe to repeat elsewhere
    await swallow.close();
    client.site.succeeded(swallow.address);
    assert.equal(await client.specialAdd(5, [[1, 0]]), null); // nothing sent: the next node of a stream site
    assert.equal(good.requests.length, 2);
    const alone = new norvel.Client([swallow.address, good.address], { routing: false });
    await assert.rejects(alone.followAdd(1, [2]), (error) => error instanceof norvel.ConnectionError && !error.sent);
    assert.equal(good.requests.length, 2);
    alone.close();
  } finally {
    client.close();
    await good.close();
  }
});

test('the shard hash agrees with the shared table', () => {
  const layout = new norvel.ClusterMap(ROUTING.shards, ROUTING.partitions, 0, Array.from({ length: ROUTING.shards }, () => []));
  for (const row of ROUTING.members) {
    assert.equal(norvel.fmix32(row.user_id), row.fmix32);
    assert.equal(layout.shardOf(row.user_id), row.shard);
  }
});

test('routing follows the map and reads it again when a node fails', async () => {
  const shardNodes = [await fakeNode(), await fakeNode()];
  let maps = 0;
  const door = await fakeNode((number, request) => {
    if (request.act === 'cluster') {
      maps += 1;
      const nodes = shardNodes.map((n) => [{ address: n.address, seq: 7 }]);
      return [reply({ code: 200, data: { index: 0, nodes, partitions: 1024, shards: 2 } }), 'stay'];
    }
    return echo(number, request);
  });
  const client = new norvel.Client([door.address]);
  try {
    const members = Array.from({ length: 39 }, (_, i) => i + 1);
    for (const member of members) {
      assert.deepEqual(await client.specialFetchPri(member, -1, 10, 1), [member]);
      assert.deepEqual(await client.followFetch(member), [member]);
    }
    shardNodes.forEach((node, shard) => {
      const routed = [...new Set(node.requests.map((r) => r.params.user_id))].sort((a, b) => a - b);
      assert.deepEqual(routed, members.filter((m) => (norvel.fmix32(m) % 1024) % 2 === shard));
    });
    assert.equal(maps, 1);
    assert.ok(door.requests.every((r) => r.act === 'cluster'));
    assert.equal((await client.execute({ act: 'inviter', op: 'list' }, { change: false })).code, 200);
    assert.equal(door.requests.at(-1).act, 'inviter');
    await shardNodes[1].close();
    const member = members.find((m) => (norvel.fmix32(m) % 1024) % 2 === 1);
    assert.deepEqual(await client.followFetch(member), [member]); // fell back to the door
    await client.followFetch(member);
    assert.equal(maps, 2);
  } finally {
    client.close();
    await door.close();
    await shardNodes[0].close();
  }
});

test('a node without a map turns routing off', async () => {
  const node = await fakeNode();
  const client = new norvel.Client([node.address]);
  try {
    assert.deepEqual(await client.followFetch(3), [3]);
    assert.equal(client.site.map, null);
    assert.deepEqual(node.requests.map((r) => r.act), ['cluster', 'follow']);
    await client.followFetch(4);
    assert.equal(node.requests.length, 3);
  } finally {
    client.close();
    await node.close();
  }
});

test('concurrent requests never get another request\'s reply while some time out', async () => {
  const node = await fakeNode(async (number, request) => {
    if (Math.random() < 0.05) await sleep(120); // past the client's timeout
    return echo(number, request);
  });
  const client = new norvel.Client([node.address], { timeout: 100, poolSize: 4, poolTimeout: 1000, routing: false });
  const wrong = [];
  let timeouts = 0;
  try {
    await Promise.all(Array.from({ length: 8 }, async () => {
      for (let i = 0; i < 150; i++) {
        const member = Math.floor(Math.random() * 2 ** 32);
        try {
          if (Math.random() < 0.3) {
            const got = await client.pipeline().followFetch(member).followFetch(member + 1).execute();
            if (JSON.stringify(got) !== JSON.stringify([[member], [member + 1]])) wrong.push(got);
          } else {
            const got = await client.followFetch(member);
            if (JSON.stringify(got) !== JSON.stringify([member])) wrong.push(got);
          }
        } catch (error) {
          if (error instanceof norvel.TimeoutError) timeouts += 1;
          else if (!(error instanceof norvel.PoolExhausted)) throw error;
        }
      }
    }));
    assert.deepEqual(wrong, []);
    assert.ok(timeouts > 0);
  } finally {
    client.close();
    await node.close();
  }
});

test('the TypeScript declarations compile against an application\'s use', async (t) => {
  const { spawnSync } = await import('node:child_process');
  const { fileURLToPath } = await import('node:url');
  const probe = spawnSync('tsc', ['--version']);
  if (probe.error) {
    t.skip('tsc is not installed');
    return;
  }
  const usage = fileURLToPath(new URL('./types/usage.ts', import.meta.url));
  const done = spawnSync('tsc', ['--noEmit', '--strict', '--target', 'es2022', '--module', 'es2022', '--moduleResolution', 'node', usage], { encoding: 'utf8' });
  assert.equal(done.status, 0, done.stdout + done.stderr);
});
