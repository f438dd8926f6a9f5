// The shared conformance suite (clients/conformance/*.json) on a real lone node and on a real
// two-node site on three stream servers.
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import * as norvel from '../src/index.js';
import { load, startSite } from './support.mjs';

const CASES = load('cases.json');
const PIPELINES = load('pipelines.json');
const SCENARIOS = load('scenarios.json');
const ERRORS = { RequestFailed: norvel.RequestFailed, ConnectionError: norvel.ConnectionError, TimeoutError: norvel.TimeoutError, ProtocolError: norvel.ProtocolError };

const camel = (name) => name.replace(/_([a-z])/g, (_, c) => c.toUpperCase());

function matches(expected, actual) {
  if (expected === '<any>') return true;
  if (expected === '<int>') return Number.isInteger(actual);
  if (Array.isArray(expected)) return Array.isArray(actual) && expected.length === actual.length && expected.every((e, i) => matches(e, actual[i]));
  if (expected !== null && typeof expected === 'object') {
    if (actual === null || typeof actual !== 'object' || Array.isArray(actual)) return false;
    const keys = Object.keys(expected);
    return keys.length === Object.keys(actual).length && keys.every((k) => matches(expected[k], actual[k]));
  }
  return expected === actual;
}

class Runner {
  constructor(site) {
    this.site = site;
    this.stream = site.kind !== 'single'; // the nodes share a stream (and answer with seq)
    this.failures = [];
    this.checks = 0;
  }

  client(nodes, timeoutSeconds = 5) {
    const servers = nodes ? nodes.map((i) => this.site.servers[i]) : this.site.servers;
    return new norvel.Client(servers, { timeout: timeoutSeconds * 1000, stream: this.stream, backoff: 200 });
  }

  expect(item, key) {
    if (this.site.kind === 'sharded' && `sharded_${key}` in item) return item[`sharded_${key}`];
    return this.stream && `stream_${key}` in item ? item[`stream_${key}`] : item[key] ?? null;
  }

  check(label, item, outcome, servers) {
    this.checks += 1;
    if ('error' in item) {
      if (!(outcome instanceof ERRORS[item.error])) this.failures.push(`${label}: wanted ${item.error}, got ${outcome}`);
      else if (!servers.includes(outcome.server) || !outcome.message.includes(outcome.server)) this.failures.push(`${label}: the error does not name the server: ${outcome}`);
      return;
    }
    const expected = this.expect(item, 'result');
    if (outcome instanceof Error || !matches(expected, outcome)) {
      this.failures.push(`${label}: wanted ${JSON.stringify(expected)}, got ${outcome instanceof Error ? outcome : JSON.stringify(outcome)}`);
    }
  }

  async invoke(target, call, args) {
    try {
      return await target[camel(call)](...Object.values(args));
    } catch (error) {
      if (error instanceof norvel.NorvelError) return error;
      throw error;
    }
  }

  queue(pipe, calls) {
    for (const call of calls) pipe[camel(call.call)](...Object.values(call.args));
  }

  async cases(client, session) {
    for (const item of CASES.cases) {
      const target = this.stream ? session : client;
      if ('call' in item) {
        const deadline = Date.now() + (item.eventually ? 5000 : 0);
        let outcome;
        for (;;) {
          outcome = await this.invoke(target, item.call, item.args);
          if (matches(this.expect(item, 'result'), outcome) || Date.now() > deadline) break;
          await sleep(50);
        }
        this.check(`${item.name} (call)`, item, outcome, client.servers);
        if (item.once) continue;
      }
      let reply;
      try {
        reply = await client.execute(item.request);
      } catch (error) {
        reply = error;
      }
      if ('error' in item && !('reply' in item)) this.check(`${item.name} (raw)`, item, reply, client.servers);
      else if (!matches(this.expect(item, 'reply'), reply)) this.failures.push(`${item.name} (raw): wanted ${JSON.stringify(this.expect(item, 'reply'))}, got ${reply instanceof Error ? reply : JSON.stringify(reply)}`);
    }
    for (const item of CASES.paging) {
      const got = [];
      for await (const id of client[camel(item.call)](...Object.values(item.args), { count: item.count, type: item.type })) got.push(id);
      if (!matches(item.result, got)) this.failures.push(`${item.name}: wanted ${JSON.stringify(item.result)}, got ${JSON.stringify(got)}`);
    }
  }

  async pipelines(client) {
    for (const pipeline of PIPELINES.pipelines) {
      const pipe = client.pipeline();
      this.queue(pipe, pipeline.calls);
      const results = await pipe.execute({ raiseOnError: false });
      pipeline.calls.forEach((call, i) => this.check(`${pipeline.name} [${i}]`, call, results[i], client.servers));
    }
    const { repeat } = PIPELINES;
    const members = Object.keys(repeat.members).map(Number);
    const order = Array.from({ length: repeat.count }, (_, i) => members[i % members.length]);
    const pipe = client.pipeline();
    for (const member of order) pipe.followFetch(member);
    const results = await pipe.execute();
    const wrong = order.filter((m, i) => !matches(repeat.members[String(m)], results[i]));
    if (results.length !== order.length || wrong.length) this.failures.push(`repeat: ${results.length} results, ${wrong.length} wrong`);
  }

  async scenario(scenario) {
    const clients = scenario.clients.map((nodes) => this.client(nodes, scenario.timeout ?? 5));
    let seq = 0;
    let background = null;
    try {
      for (const [number, step] of scenario.steps.entries()) {
        const label = `${scenario.name}, step ${number} (${step.do})`;
        const client = clients[step.client ?? 0];
        if (['kill', 'start', 'pause', 'resume'].includes(step.do)) await this.site[step.do](step.node);
        else if (step.do === 'sleep') await sleep(step.seconds * 1000);
        else if (step.do === 'call') {
          const target = step.session ? client.session(seq) : client;
          const outcome = await this.invoke(target, step.call, step.args);
          if (step.session) seq = target.seq;
          this.check(label, step, outcome, client.servers);
        } else if (step.do === 'seq_above_zero') {
          if (!(seq > 0)) this.failures.push(`${label}: the session has no sequence`);
        } else if (step.do === 'pipeline') {
          const pipe = client.pipeline();
          this.queue(pipe, step.calls);
          if (step.background) {
            background = pipe.execute().catch((error) => error);
            continue;
          }
          const results = await pipe.execute({ raiseOnError: false }).catch((error) => error);
          if ('error' in step) this.check(label, step, results, client.servers);
          else step.calls.forEach((call, i) => this.check(`${label} [${i}]`, call, results[i], client.servers));
        } else if (step.do === 'join') {
          const outcome = await background;
          this.check(label, step, outcome, client.servers);
          if (outcome instanceof norvel.ConnectionError && !outcome.sent) this.failures.push(`${label}: a pipeline in flight must count as sent: ${outcome}`);
        } else throw new Error(`unknown step ${step.do}`);
      }
    } finally {
      for (const each of clients) each.close();
    }
  }
}

// One figure of a node's metrics page (without labels), 0 when absent.
function metric(address, name) {
  return new Promise((resolve, reject) => {
    http.get(`http://${address}/metrics`, (response) => {
      let page = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => { page += chunk; });
      response.on('end', () => {
        const line = page.split('\n').find((l) => l.startsWith(`${name} `));
        resolve(line ? Number(line.split(' ')[1]) : 0);
      });
    }).on('error', reject);
  });
}

for (const kind of ['single', 'stream', 'sharded']) {
  describe(`conformance on a ${kind} site`, { skip: !process.env.NORVEL_DAEMON && 'NORVEL_DAEMON is not set' }, () => {
    let site;
    before(async () => {
      site = await startSite(kind);
    });
    after(async () => {
      await site?.close();
    });

    test('cases, paging and pipelines', async () => {
      const runner = new Runner(site);
      const client = runner.client();
      try {
        await runner.cases(client, client.session());
        await runner.pipelines(client);
      } finally {
        client.close();
      }
      assert.deepEqual(runner.failures, []);
      assert.ok(runner.checks >= 35, `only ${runner.checks} checks ran`);
    });

    test('routing sends member reads to their shard', { skip: kind !== 'sharded' && 'a sharded site\'s test' }, async () => {
      const forwarded = async () => (await metric(site.metrics[0], 'norvel_shard_forwarded_total')) + (await metric(site.metrics[1], 'norvel_shard_forwarded_total'));
      const members = Array.from({ length: 79 }, (_, i) => i + 1);
      const routed = new norvel.Client(site.servers.slice(0, 1), { stream: true });
      const plain = new norvel.Client(site.servers.slice(0, 1), { stream: true, routing: false });
      try {
        const layout = await routed.refreshMap();
        assert.equal(layout.shards, 2);
        assert.deepEqual(layout.nodes.flat().map((n) => n.address).sort(), [...site.servers].sort());
        const before = await forwarded();
        for (const member of members) {
          await routed.specialFetchPri(member, -1, 10, 1);
          await routed.followFetch(member);
        }
        assert.equal(await forwarded(), before);
        for (const member of members) assert.deepEqual(await plain.followFetch(member), await routed.followFetch(member));
        const others = members.filter((m) => (norvel.fmix32(m) % 1024) % 2 === 1).length;
        assert.equal((await forwarded()) - before, others);
      } finally {
        routed.close();
        plain.close();
      }
    });

    test('scenarios', { skip: kind === 'sharded' && 'the scenarios kill the one node of a shard' }, async () => {
      const runner = new Runner(site);
      for (const scenario of SCENARIOS.scenarios) {
        if (scenario.sites.includes(kind)) await runner.scenario(scenario);
      }
      assert.deepEqual(runner.failures, []);
    });
  });
}
