// Compiled (not run) by library.test.mjs when tsc is installed: the declarations describe the
// library as an application uses it.
import { Client, Session, Pipeline, RequestFailed, ConnectionError, ClusterMap } from '../../src/index.js';
async function main(): Promise<void> {
  const client = new Client(['127.0.0.1:5000'], { timeout: 1000, stream: true });
  const ids: number[] = await client.specialFetchPri(3, -1, 20, 1);
  const seq: number | null = await client.specialAdd(5, [{ spid: 1, type: 0 }, [2, 1]]);
  const session: Session = client.session(seq ?? 0);
  const follows: number[] = await session.followFetch(5);
  const pipe: Pipeline = client.pipeline().followFetch(1).inviterList(7);
  const results: unknown[] = await pipe.execute({ raiseOnError: false });
  for await (const id of client.iterSpecialFetchPub({ count: 10 })) { const n: number = id; }
  const map: ClusterMap | null = await client.refreshMap();
  try { await client.followFetch(1); } catch (e) { if (e instanceof ConnectionError) { const s: boolean = e.sent; } if (e instanceof RequestFailed) { const r = e.request.act; } }
  client.close();
  void ids; void follows; void results; void map;
}
void main();
