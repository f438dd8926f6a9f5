// norvel-client: the client library of the norvel daemon for Node (>= 18), no dependencies.
// Framing, a pool of connections per server, one method per operation, pipelines, failover with
// a doubling back-off, sessions that read their own writes ("min_seq"), and shard routing from
// the cluster map. The rules are those of the Python library (clients/python): a connection that
// broke, timed out or carried a bad frame is destroyed and never reused, and a change that may
// have reached a node is never sent again.
import net from 'node:net';

const HEADER = 10;
export const DEFAULT_MAX_FRAME = 16 * 1024 * 1024;
const READ = 'read';
const CHANGE = 'change';

// ---- errors ----

export class NorvelError extends Error {
  constructor(message) {
    super(message);
    this.name = this.constructor.name;
  }
}

// A server list that is empty or malformed, or another option out of range.
export class ConfigurationError extends NorvelError {}

// The server answered {"code":0}: nothing was changed; the connection stays in use.
export class RequestFailed extends NorvelError {
  constructor(server, request) {
    super(`${server}: request failed: ${request.act} ${request.op}`);
    this.server = server;
    this.request = request;
  }
}

// The connection broke (could not be made, closed, timed out, a bad frame): it is destroyed.
// `sent`: the request may have reached the server (a change may or may not have been applied).
export class ConnectionError extends NorvelError {
  constructor(server, reason, sent = false) {
    super(`${server}: ${reason}`);
    this.server = server;
    this.reason = reason;
    this.sent = sent;
    this.request = undefined;
  }
}

export class TimeoutError extends ConnectionError {}
export class ProtocolError extends ConnectionError {}

export class PoolExhausted extends NorvelError {
  constructor(server, size, waited) {
    super(`${server}: all ${size} connections busy for ${waited} ms`);
    this.server = server;
  }
}

// ---- frames and requests ----

export function frame(body) {
  const data = Buffer.from(body);
  return Buffer.concat([Buffer.from(String(data.length).padStart(HEADER, '0')), data]);
}

function bodyLength(server, buf, at, maxFrame) {
  let length = 0;
  for (let i = at; i < at + HEADER; i++) {
    const c = buf[i];
    if (c < 48 || c > 57) {
      throw new ProtocolError(server, `reply header is not ten digits: ${JSON.stringify(buf.toString('latin1', at, at + HEADER))}`, true);
    }
    length = length * 10 + (c - 48);
  }
  if (length > maxFrame) {
    throw new ProtocolError(server, `reply of ${length} bytes is over the limit of ${maxFrame}`, true);
  }
  return length;
}

function decodeReply(server, text) {
  let reply;
  try {
    reply = JSON.parse(text);
  } catch {
    throw new ProtocolError(server, `reply is not JSON: ${JSON.stringify(text.slice(0, 80))}`, true);
  }
  if (reply === null || typeof reply !== 'object' || Array.isArray(reply) || !Number.isInteger(reply.code)) {
    throw new ProtocolError(server, `reply is not a norvel reply: ${JSON.stringify(text.slice(0, 80))}`, true);
  }
  return reply;
}

class Request {
  constructor(act, op, params, kind, result, routeUser = undefined) {
    this.act = act;
    this.op = op;
    this.params = params;
    this.kind = kind;
    this.result = result;
    this.routeUser = routeUser;
    this.whole = false;
    this.body = undefined;
  }

  document() {
    return { act: this.act, op: this.op, params: this.params };
  }

  encode(minSeq = 0) {
    if (minSeq > 0 && this.kind === READ) {
      return frame(JSON.stringify({ act: this.act, op: this.op, params: { ...this.params, min_seq: minSeq } }));
    }
    if (this.body === undefined) this.body = frame(JSON.stringify(this.document()));
    return this.body;
  }

  // The value, or a RequestFailed for {"code":0}; a ProtocolError when the reply does not fit.
  outcome(server, reply) {
    if (this.whole) return reply;
    if (reply.code !== 200) return new RequestFailed(server, this.document());
    try {
      return this.result(reply.data);
    } catch (error) {
      throw new ProtocolError(server, `unexpected reply to ${this.act} ${this.op}: ${error.message}`, true);
    }
  }
}

const ids = (key) => (data) => {
  if (data === null || typeof data !== 'object' || !Array.isArray(data[key])) throw new Error(`reply without "${key}"`);
  return data[key];
};

// A change's value: null, or its stream sequence when the node answers with "seq".
const changeSeq = (data) => (data !== null && typeof data === 'object' && Number.isInteger(data.seq) ? data.seq : null);

function specialsOf(specials) {
  return Array.from(specials, (item) => (Array.isArray(item) ? { spid: item[0], type: item[1] } : { spid: item.spid, type: item.type ?? 0 }));
}

// One builder per operation, named after the protocol.
export const requests = {
  followAdd: (userId, friends) => new Request('follow', 'add', { user_id: userId, friends: Array.from(friends) }, CHANGE, changeSeq),
  followDel: (userId, friends) => new Request('follow', 'del', { user_id: userId, friends: Array.from(friends) }, CHANGE, changeSeq),
  followFetch: (userId) => new Request('follow', 'fetch', { user_id: userId }, READ, ids('follows'), userId),
  specialAdd: (userId, specials) => new Request('special', 'add', { user_id: userId, specials: specialsOf(specials) }, CHANGE, changeSeq),
  specialDel: (userId, specials) => new Request('special', 'del', { user_id: userId, specials: specialsOf(specials) }, CHANGE, changeSeq),
  specialFetchSelf: (userId, specialId, count, type) =>
    new Request('special', 'fetch_self', { user_id: userId, special_id: specialId, count, type }, READ, ids('specials')),
  specialFetchPri: (userId, specialId, count, type) =>
    new Request('special', 'fetch_pri', { user_id: userId, special_id: specialId, count, type }, READ, ids('specials'), userId),
  specialFetchPub: (specialId, count, type) => new Request('special', 'fetch_pub', { special_id: specialId, count, type }, READ, ids('specials')),
  inviterAdd: (userId, inviterId) => new Request('inviter', 'add', { user_id: userId, inviter_id: inviterId }, CHANGE, changeSeq),
  inviterList: (userId) => new Request('inviter', 'list', { user_id: userId }, READ, ids('inviters')),
  inviterInvitees: (userId) => new Request('inviter', 'invitees', { user_id: userId }, READ, ids('invitees')),
};

function rawRequest(document, change) {
  const request = new Request('', '', {}, change ? CHANGE : READ, (d) => d);
  request.whole = true;
  request.body = frame(JSON.stringify(document));
  return request;
}

const mapRequest = () => new Request('cluster', 'map', {}, READ, (d) => d);

// ---- servers and the shard layout ----

export function parseServers(servers) {
  if (!Array.isArray(servers) || servers.length === 0) {
    throw new ConfigurationError(`servers: a non-empty array of "host:port" is needed, got ${JSON.stringify(servers)}`);
  }
  return servers.map((entry) => {
    if (typeof entry !== 'string') throw new ConfigurationError(`servers: ${JSON.stringify(entry)} is not "host:port"`);
    const colon = entry.lastIndexOf(':');
    const host = entry.slice(0, colon);
    const port = entry.slice(colon + 1);
    if (colon < 1 || !/^[0-9]+$/.test(port) || Number(port) < 1 || Number(port) > 65535) {
      throw new ConfigurationError(`servers: ${JSON.stringify(entry)} is not "host:port"`);
    }
    return `${host}:${Number(port)}`;
  });
}

function splitAddress(server) {
  const colon = server.lastIndexOf(':');
  return [server.slice(0, colon).replace(/^\[|\]$/g, ''), Number(server.slice(colon + 1))];
}

export function fmix32(value) {
  let h = value >>> 0;
  h ^= h >>> 16;
  h = Math.imul(h, 0x85ebca6b) >>> 0;
  h ^= h >>> 13;
  h = Math.imul(h, 0xc2b2ae35) >>> 0;
  h ^= h >>> 16;
  return h >>> 0;
}

export class ClusterMap {
  constructor(shards, partitions, index, nodes) {
    this.shards = shards;
    this.partitions = partitions;
    this.index = index;
    this.nodes = nodes; // per shard: [{address, seq}]
  }

  // null for a node without a map ("data": null) or an answer that does not read as one.
  static parse(data) {
    if (data === null || typeof data !== 'object') return null;
    const { shards, partitions, nodes } = data;
    if (!Number.isInteger(shards) || !Number.isInteger(partitions) || shards < 1 || partitions < 1) return null;
    if (!Array.isArray(nodes) || nodes.length !== shards) return null;
    const parsed = [];
    for (const shard of nodes) {
      if (!Array.isArray(shard)) return null;
      const list = [];
      for (const node of shard) {
        if (node === null || typeof node !== 'object' || typeof node.address !== 'string') return null;
        list.push({ address: node.address, seq: Number.isInteger(node.seq) ? node.seq : 0 });
      }
      parsed.push(list);
    }
    return new ClusterMap(shards, partitions, Number.isInteger(data.index) ? data.index : 0, parsed);
  }

  shardOf(userId) {
    return (fmix32(userId) % this.partitions) % this.shards;
  }

  nodesFor(userId, minSeq = 0) {
    if (this.shards <= 1) return [];
    const shard = this.nodes[this.shardOf(userId)];
    return [...shard.filter((n) => n.seq >= minSeq), ...shard.filter((n) => n.seq < minSeq)].map((n) => n.address);
  }
}

// Which server a request goes to (see the Python library's Site for the rules, which are these).
export class Site {
  constructor(servers, { stream = false, routing = true, backoff = 500, maxBackoff = 30000, mapRefresh = 30000, clock = () => performance.now() } = {}) {
    this.servers = parseServers(servers);
    if (!(backoff >= 0) || !(maxBackoff >= backoff)) throw new ConfigurationError('backoff: need 0 <= backoff <= maxBackoff');
    Object.assign(this, { stream, routing, backoff, maxBackoff, mapRefresh, clock });
    this.health = new Map(); // server -> {failures, retryAt}
    this.map = null;
    this.mapReadAt = null; // null: read it before the next routed read
  }

  failed(server) {
    const health = this.health.get(server) ?? { failures: 0, retryAt: 0 };
    health.failures += 1;
    health.retryAt = this.clock() + Math.min(this.backoff * 2 ** (health.failures - 1), this.maxBackoff);
    this.health.set(server, health);
    this.mapReadAt = null;
  }

  succeeded(server) {
    this.health.delete(server);
  }

  healthy(server) {
    const health = this.health.get(server);
    return health === undefined || health.retryAt <= this.clock();
  }

  byHealth(servers) {
    const up = servers.filter((s) => this.healthy(s));
    const down = servers.filter((s) => !this.healthy(s)).sort((a, b) => this.health.get(a).retryAt - this.health.get(b).retryAt);
    return [...up, ...down];
  }

  mapDue() {
    return this.routing && (this.mapReadAt === null || this.clock() - this.mapReadAt >= this.mapRefresh);
  }

  setMap(layout) {
    this.map = layout;
    this.mapReadAt = this.clock();
  }

  candidates(request, minSeq = 0) {
    if (request.kind === CHANGE && !this.stream) return [this.servers[0]];
    const user = request.routeUser;
    let routed = [];
    if (this.map !== null && Number.isInteger(user) && user >= 0 && user <= 0xffffffff) {
      routed = this.byHealth(this.map.nodesFor(user, minSeq));
    }
    const rest = this.byHealth(this.servers.filter((s) => !routed.includes(s)));
    if (routed.length > 0 && !this.healthy(routed[0])) return [...rest, ...routed];
    return [...routed, ...rest];
  }

  anyServer() {
    return this.byHealth(this.servers);
  }
}

// ---- connections and pools ----

// One TCP connection. Bytes that arrive while no exchange waits for them, an end, an error or a
// timeout make it unfit for good: it is destroyed, so a late reply is never read as another's.
class Connection {
  constructor(server, socket, maxFrame) {
    this.server = server;
    this.socket = socket;
    this.maxFrame = maxFrame;
    this.buf = Buffer.alloc(0);
    this.broken = false;
    this.pending = null; // {count, replies, resolve, reject, timer}
    socket.setNoDelay(true);
    socket.on('data', (chunk) => this.onData(chunk));
    socket.on('end', () => this.fail(new ConnectionError(server, this.closedText(), true)));
    socket.on('close', () => this.fail(new ConnectionError(server, this.closedText(), true)));
    socket.on('error', (error) => this.fail(new ConnectionError(server, `connection failed: ${error.message}`, true)));
  }

  static open(server, timeout, maxFrame) {
    const [host, port] = splitAddress(server);
    return new Promise((resolve, reject) => {
      const socket = net.connect({ host, port });
      const timer = setTimeout(() => {
        socket.destroy();
        reject(new TimeoutError(server, `cannot connect within ${timeout} ms`));
      }, timeout);
      socket.once('connect', () => {
        clearTimeout(timer);
        socket.removeAllListeners('error');
        resolve(new Connection(server, socket, maxFrame));
      });
      socket.once('error', (error) => {
        clearTimeout(timer);
        socket.destroy();
        reject(new ConnectionError(server, `cannot connect: ${error.code ?? error.message}`));
      });
    });
  }

  closedText() {
    const done = this.pending ? this.pending.replies.length : 0;
    const count = this.pending ? this.pending.count : 0;
    return `connection closed by the server after ${done} of ${count} replies`;
  }

  stale() {
    return this.broken || this.buf.length > 0 || this.socket.destroyed || this.socket.readableEnded;
  }

  close() {
    this.broken = true;
    this.socket.destroy();
  }

  fail(error) {
    this.broken = true;
    const pending = this.pending;
    if (pending) {
      this.pending = null;
      clearTimeout(pending.timer);
      pending.reject(error);
    }
    this.socket.destroy();
  }

  onData(chunk) {
    this.buf = this.buf.length === 0 ? chunk : Buffer.concat([this.buf, chunk]);
    const pending = this.pending;
    if (!pending) return; // bytes nobody asked for: stale() now says so
    let at = 0;
    try {
      while (this.buf.length - at >= HEADER && pending.replies.length < pending.count) {
        const length = bodyLength(this.server, this.buf, at, this.maxFrame);
        const end = at + HEADER + length;
        if (this.buf.length < end) break;
        pending.replies.push(decodeReply(this.server, this.buf.toString('utf8', at + HEADER, end)));
        at = end;
      }
      if (pending.replies.length < pending.count && this.buf.length - at >= HEADER) {
        bodyLength(this.server, this.buf, at, this.maxFrame); // a bad header fails now, not later
      }
    } catch (error) {
      this.fail(error);
      return;
    }
    this.buf = at === this.buf.length ? Buffer.alloc(0) : this.buf.subarray(at);
    if (pending.replies.length === pending.count) {
      this.pending = null;
      clearTimeout(pending.timer);
      pending.resolve(pending.replies);
    }
  }

  exchange(payload, count, timeout) {
    if (this.broken) return Promise.reject(new ConnectionError(this.server, 'connection already closed'));
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.fail(new TimeoutError(this.server, `no reply within ${timeout} ms`, true));
      }, timeout);
      this.pending = { count, replies: [], resolve, reject, timer };
      this.socket.write(payload);
    });
  }
}

class Pool {
  constructor(server, size, timeout, maxFrame, poolTimeout) {
    Object.assign(this, { server, size, timeout, maxFrame, poolTimeout });
    this.idle = [];
    this.open = 0;
    this.waiters = [];
    this.closed = false;
  }

  async acquire() {
    for (;;) {
      while (this.idle.length > 0) {
        const conn = this.idle.pop();
        if (!conn.stale()) {
          conn.socket.ref();
          return conn;
        }
        conn.close();
        this.open -= 1;
      }
      if (this.open < this.size) break;
      await new Promise((resolve, reject) => {
        const waiter = { resolve, timer: null };
        waiter.timer = setTimeout(() => {
          this.waiters.splice(this.waiters.indexOf(waiter), 1);
          reject(new PoolExhausted(this.server, this.size, this.poolTimeout));
        }, this.poolTimeout);
        this.waiters.push(waiter);
      });
    }
    this.open += 1;
    try {
      return await Connection.open(this.server, this.timeout, this.maxFrame);
    } catch (error) {
      this.open -= 1;
      this.wake();
      throw error;
    }
  }

  wake() {
    const waiter = this.waiters.shift();
    if (waiter) {
      clearTimeout(waiter.timer);
      waiter.resolve();
    }
  }

  // An idle connection does not keep the process alive (unref); one given back after close()
  // is closed.
  release(conn) {
    if (this.closed) {
      this.discard(conn);
      return;
    }
    conn.socket.unref();
    this.idle.push(conn);
    this.wake();
  }

  discard(conn) {
    conn.close();
    this.open -= 1;
    this.wake();
  }

  close() {
    this.closed = true;
    for (const conn of this.idle) conn.close();
    this.open -= this.idle.length;
    this.idle = [];
  }
}

// ---- the operations, shared by Client and Session ----

class Operations {
  followAdd(userId, friends) { return this.call(requests.followAdd(userId, friends)); }
  followDel(userId, friends) { return this.call(requests.followDel(userId, friends)); }
  followFetch(userId) { return this.call(requests.followFetch(userId)); }
  specialAdd(userId, specials) { return this.call(requests.specialAdd(userId, specials)); }
  specialDel(userId, specials) { return this.call(requests.specialDel(userId, specials)); }
  specialFetchSelf(userId, specialId, count, type) { return this.call(requests.specialFetchSelf(userId, specialId, count, type)); }
  specialFetchPri(userId, specialId, count, type) { return this.call(requests.specialFetchPri(userId, specialId, count, type)); }
  specialFetchPub(specialId, count, type) { return this.call(requests.specialFetchPub(specialId, count, type)); }
  inviterAdd(userId, inviterId) { return this.call(requests.inviterAdd(userId, inviterId)); }
  inviterList(userId) { return this.call(requests.inviterList(userId)); }
  inviterInvitees(userId) { return this.call(requests.inviterInvitees(userId)); }

  async *pages(fetch, { count = 100, type = 1, specialId } = {}) {
    if (!(count >= 1)) throw new ConfigurationError('count: a page holds at least one id');
    let cursor = specialId ?? (type === 0 ? 0 : -1);
    for (;;) {
      const page = await fetch(cursor, count, type);
      yield* page;
      if (page.length < count) return;
      cursor = page[page.length - 1];
    }
  }

  // Every id of a list, `count` a request: newest first (type 1) or oldest first (type 0).
  iterSpecialFetchPri(userId, options) { return this.pages((c, n, t) => this.specialFetchPri(userId, c, n, t), options); }
  iterSpecialFetchSelf(userId, options) { return this.pages((c, n, t) => this.specialFetchSelf(userId, c, n, t), options); }
  iterSpecialFetchPub(options) { return this.pages((c, n, t) => this.specialFetchPub(c, n, t), options); }
}

export class Client extends Operations {
  // servers: ["host:port", ...]; times in milliseconds.
  constructor(servers, { timeout = 5000, poolSize = 8, stream = false, routing = true, poolTimeout, maxFrame = DEFAULT_MAX_FRAME,
    backoff = 500, maxBackoff = 30000, mapRefresh = 30000, clock } = {}) {
    super();
    if (!(timeout > 0) || !Number.isInteger(poolSize) || poolSize < 1 || !(maxFrame >= 1)) {
      throw new ConfigurationError('timeout > 0, poolSize >= 1 and maxFrame >= 1 are needed');
    }
    this.site = new Site(servers, { stream, routing, backoff, maxBackoff, mapRefresh, ...(clock ? { clock } : {}) });
    Object.assign(this, { timeout, poolSize, maxFrame, poolTimeout: poolTimeout ?? timeout });
    this.pools = new Map();
    this.mapReading = false;
  }

  get servers() {
    return [...this.site.servers];
  }

  pool(server) {
    let pool = this.pools.get(server);
    if (!pool) {
      pool = new Pool(server, this.poolSize, this.timeout, this.maxFrame, this.poolTimeout);
      this.pools.set(server, pool);
    }
    return pool;
  }

  close() {
    for (const pool of this.pools.values()) pool.close();
  }

  // Sends `requests` (framed in `payload`) on one connection; each one's value or RequestFailed.
  async send(server, list, payload, timeout) {
    const pool = this.pool(server);
    const conn = await pool.acquire();
    let results;
    try {
      const replies = await conn.exchange(payload, list.length, timeout);
      results = list.map((request, i) => request.outcome(server, replies[i]));
    } catch (error) {
      pool.discard(conn);
      throw error;
    }
    if (conn.stale()) pool.discard(conn);
    else pool.release(conn);
    return results;
  }

  async call(request, minSeq = 0) {
    if (request.routeUser !== undefined && this.site.mapDue()) await this.refreshMap();
    const payload = request.encode(minSeq);
    let last;
    for (const server of this.site.candidates(request, minSeq)) {
      let result;
      try {
        [result] = await this.send(server, [request], payload, this.timeout);
      } catch (error) {
        if (!(error instanceof ConnectionError)) throw error;
        this.site.failed(server);
        error.request = request.document();
        if (error.sent && request.kind === CHANGE) throw error; // it may have been applied
        last = error;
        continue;
      }
      this.site.succeeded(server);
      if (result instanceof RequestFailed) throw result;
      return result;
    }
    throw last;
  }

  // Reads the shard map now; null when the site has none (routing off until the next reading).
  async refreshMap() {
    if (this.mapReading || !this.site.mapDue()) return this.site.map;
    this.mapReading = true;
    try {
      const request = mapRequest();
      let layout = null;
      for (const server of this.site.anyServer()) {
        let result;
        try {
          [result] = await this.send(server, [request], request.encode(), this.timeout);
        } catch (error) {
          if (!(error instanceof ConnectionError)) throw error;
          this.site.failed(server);
          continue;
        }
        this.site.succeeded(server);
        if (!(result instanceof RequestFailed)) layout = ClusterMap.parse(result);
        break;
      }
      this.site.setMap(layout);
      return layout;
    } finally {
      this.mapReading = false;
    }
  }

  // Any body; the whole reply document ({"code":0} included). A change unless told otherwise.
  execute(document, { change = true } = {}) {
    return this.call(rawRequest(document, change));
  }

  pipeline({ timeout } = {}) {
    return new Pipeline(this, timeout ?? this.timeout);
  }

  session(seq = 0) {
    return new Session(this, seq);
  }
}

// Remembers the highest sequence its changes were answered with and sends it as "min_seq" on
// its reads, so they see its own changes on whichever node they land.
export class Session extends Operations {
  constructor(client, seq = 0) {
    super();
    this.client = client;
    this.seq = seq;
  }

  async call(request) {
    const result = await this.client.call(request, this.seq);
    if (request.kind === CHANGE && Number.isInteger(result)) this.seq = Math.max(this.seq, result);
    return result;
  }

  pipeline({ timeout } = {}) {
    return new Pipeline(this.client, timeout ?? this.client.timeout, this);
  }
}

// Requests queued, then written together on one connection; results in the same order. Never
// sent twice: a broken connection rejects execute() with a ConnectionError.
export class Pipeline {
  constructor(client, timeout, session = null) {
    Object.assign(this, { client, timeout, session });
    this.queue = [];
  }

  get length() {
    return this.queue.length;
  }

  add(request) {
    this.queue.push(request);
    return this;
  }

  executeRaw(document) { return this.add(rawRequest(document, true)); }

  async execute({ raiseOnError = true } = {}) {
    const list = this.queue;
    this.queue = [];
    if (list.length === 0) return [];
    const session = this.session;
    const minSeq = session ? session.seq : 0;
    const payload = Buffer.concat(list.map((r) => r.encode(minSeq)));
    const { client } = this;
    const first = list[0];
    if (first.routeUser !== undefined && client.site.mapDue()) await client.refreshMap();
    const probe = new Request('', '', {}, list.some((r) => r.kind === CHANGE) ? CHANGE : first.kind, (d) => d, first.routeUser);
    let last;
    for (const server of client.site.candidates(probe, minSeq)) {
      let results;
      try {
        results = await client.send(server, list, payload, this.timeout);
      } catch (error) {
        if (!(error instanceof ConnectionError)) throw error;
        client.site.failed(server);
        if (error.sent) throw error;
        last = error;
        continue;
      }
      client.site.succeeded(server);
      let failure = null;
      list.forEach((request, i) => {
        const value = results[i];
        if (value instanceof RequestFailed) failure ??= value;
        else if (session && request.kind === CHANGE && Number.isInteger(value)) session.seq = Math.max(session.seq, value);
      });
      if (failure && raiseOnError) throw failure;
      return results;
    }
    throw last;
  }
}

for (const name of Object.keys(requests)) {
  Pipeline.prototype[name] = function queue(...args) {
    return this.add(requests[name](...args));
  };
}
