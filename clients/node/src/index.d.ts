// Type declarations of norvel-client (written by hand; the library is plain ES modules).

export declare const DEFAULT_MAX_FRAME: number;

export declare class NorvelError extends Error {}
/** A server list that is empty or malformed, or another option out of range. */
export declare class ConfigurationError extends NorvelError {}
/** The server answered {"code":0}: the operation failed, nothing was changed. */
export declare class RequestFailed extends NorvelError {
  readonly server: string;
  readonly request: RequestDocument;
}
/** The connection broke, closed, timed out or carried a bad frame; it was destroyed. */
export declare class ConnectionError extends NorvelError {
  readonly server: string;
  readonly reason: string;
  /** The request may have reached the server: a change may or may not have been applied. */
  readonly sent: boolean;
  request: RequestDocument | undefined;
}
export declare class TimeoutError extends ConnectionError {}
export declare class ProtocolError extends ConnectionError {}
export declare class PoolExhausted extends NorvelError {
  readonly server: string;
}

export interface RequestDocument {
  act: string;
  op: string;
  params: Record<string, unknown>;
}

/** A special as a change names it: {spid, type} or [spid, type]. */
export type SpecialInput = { spid: number; type?: number } | [number, number];

export interface PageOptions {
  /** ids a request (default 100) */
  count?: number;
  /** 1 (default): newest first, from cursor -1; 0: oldest first, from cursor 0 */
  type?: number;
  specialId?: number;
}

export interface ClientOptions {
  /** milliseconds for one request (and a connect), or for a whole pipeline; default 5000 */
  timeout?: number;
  /** connections kept per server; default 8 */
  poolSize?: number;
  /** milliseconds a request waits for a free connection; default: timeout */
  poolTimeout?: number;
  /** the nodes share a stream: a change may go to any of them; default false */
  stream?: boolean;
  /** read the shard map and send member reads to the member's shard; default true */
  routing?: boolean;
  /** the largest reply accepted, in bytes; default 16 MiB */
  maxFrame?: number;
  /** milliseconds a failed server is left alone, doubling per failure in a row; default 500 */
  backoff?: number;
  maxBackoff?: number;
  /** milliseconds between readings of the shard map; default 30000 */
  mapRefresh?: number;
  /** a clock in milliseconds (tests); default performance.now */
  clock?: () => number;
}

/** Changes resolve to null, or to their stream sequence when the node answers with one. */
interface Operations {
  followAdd(userId: number, friends: Iterable<number>): Promise<number | null>;
  followDel(userId: number, friends: Iterable<number>): Promise<number | null>;
  followFetch(userId: number): Promise<number[]>;
  specialAdd(userId: number, specials: Iterable<SpecialInput>): Promise<number | null>;
  specialDel(userId: number, specials: Iterable<SpecialInput>): Promise<number | null>;
  specialFetchSelf(userId: number, specialId: number, count: number, type: number): Promise<number[]>;
  specialFetchPri(userId: number, specialId: number, count: number, type: number): Promise<number[]>;
  specialFetchPub(specialId: number, count: number, type: number): Promise<number[]>;
  inviterAdd(userId: number, inviterId: number): Promise<number | null>;
  inviterList(userId: number): Promise<number[]>;
  inviterInvitees(userId: number): Promise<number[]>;
  iterSpecialFetchPri(userId: number, options?: PageOptions): AsyncGenerator<number, void, undefined>;
  iterSpecialFetchSelf(userId: number, options?: PageOptions): AsyncGenerator<number, void, undefined>;
  iterSpecialFetchPub(options?: PageOptions): AsyncGenerator<number, void, undefined>;
}

export declare class ClusterMap {
  readonly shards: number;
  readonly partitions: number;
  readonly index: number;
  readonly nodes: { address: string; seq: number }[][];
  static parse(data: unknown): ClusterMap | null;
  shardOf(userId: number): number;
  nodesFor(userId: number, minSeq?: number): string[];
}

export declare class Client implements Operations {
  constructor(servers: string[], options?: ClientOptions);
  readonly servers: string[];
  followAdd(userId: number, friends: Iterable<number>): Promise<number | null>;
  followDel(userId: number, friends: Iterable<number>): Promise<number | null>;
  followFetch(userId: number): Promise<number[]>;
  specialAdd(userId: number, specials: Iterable<SpecialInput>): Promise<number | null>;
  specialDel(userId: number, specials: Iterable<SpecialInput>): Promise<number | null>;
  specialFetchSelf(userId: number, specialId: number, count: number, type: number): Promise<number[]>;
  specialFetchPri(userId: number, specialId: number, count: number, type: number): Promise<number[]>;
  specialFetchPub(specialId: number, count: number, type: number): Promise<number[]>;
  inviterAdd(userId: number, inviterId: number): Promise<number | null>;
  inviterList(userId: number): Promise<number[]>;
  inviterInvitees(userId: number): Promise<number[]>;
  iterSpecialFetchPri(userId: number, options?: PageOptions): AsyncGenerator<number, void, undefined>;
  iterSpecialFetchSelf(userId: number, options?: PageOptions): AsyncGenerator<number, void, undefined>;
  iterSpecialFetchPub(options?: PageOptions): AsyncGenerator<number, void, undefined>;
  /** Any body; resolves to the whole reply document, {"code":0} included. */
  execute(document: unknown, options?: { change?: boolean }): Promise<{ code: number; data?: unknown }>;
  refreshMap(): Promise<ClusterMap | null>;
  pipeline(options?: { timeout?: number }): Pipeline;
  session(seq?: number): Session;
  close(): void;
}

export declare class Session implements Operations {
  constructor(client: Client, seq?: number);
  readonly client: Client;
  /** the highest stream sequence this session's changes were answered with */
  seq: number;
  followAdd(userId: number, friends: Iterable<number>): Promise<number | null>;
  followDel(userId: number, friends: Iterable<number>): Promise<number | null>;
  followFetch(userId: number): Promise<number[]>;
  specialAdd(userId: number, specials: Iterable<SpecialInput>): Promise<number | null>;
  specialDel(userId: number, specials: Iterable<SpecialInput>): Promise<number | null>;
  specialFetchSelf(userId: number, specialId: number, count: number, type: number): Promise<number[]>;
  specialFetchPri(userId: number, specialId: number, count: number, type: number): Promise<number[]>;
  specialFetchPub(specialId: number, count: number, type: number): Promise<number[]>;
  inviterAdd(userId: number, inviterId: number): Promise<number | null>;
  inviterList(userId: number): Promise<number[]>;
  inviterInvitees(userId: number): Promise<number[]>;
  iterSpecialFetchPri(userId: number, options?: PageOptions): AsyncGenerator<number, void, undefined>;
  iterSpecialFetchSelf(userId: number, options?: PageOptions): AsyncGenerator<number, void, undefined>;
  iterSpecialFetchPub(options?: PageOptions): AsyncGenerator<number, void, undefined>;
  pipeline(options?: { timeout?: number }): Pipeline;
}

/** Each method queues its request and returns the pipeline. */
export declare class Pipeline {
  readonly length: number;
  followAdd(userId: number, friends: Iterable<number>): this;
  followDel(userId: number, friends: Iterable<number>): this;
  followFetch(userId: number): this;
  specialAdd(userId: number, specials: Iterable<SpecialInput>): this;
  specialDel(userId: number, specials: Iterable<SpecialInput>): this;
  specialFetchSelf(userId: number, specialId: number, count: number, type: number): this;
  specialFetchPri(userId: number, specialId: number, count: number, type: number): this;
  specialFetchPub(specialId: number, count: number, type: number): this;
  inviterAdd(userId: number, inviterId: number): this;
  inviterList(userId: number): this;
  inviterInvitees(userId: number): this;
  executeRaw(document: unknown): this;
  /** Results in request order; with raiseOnError false a failed one stands as its RequestFailed. */
  execute(options?: { raiseOnError?: boolean }): Promise<unknown[]>;
}

export declare function fmix32(value: number): number;
export declare function parseServers(servers: unknown): string[];
export declare function frame(body: string | Uint8Array): Uint8Array;

export declare class Site {
  constructor(servers: string[], options?: { stream?: boolean; routing?: boolean; backoff?: number; maxBackoff?: number; mapRefresh?: number; clock?: () => number });
  readonly servers: string[];
  failed(server: string): void;
  succeeded(server: string): void;
  healthy(server: string): boolean;
  candidates(request: unknown, minSeq?: number): string[];
}

export declare const requests: Record<string, (...args: never[]) => unknown>;
