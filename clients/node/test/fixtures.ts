import * as fs from 'fs';
import * as os from 'os';
import * as path from 'path';
import type { TestContext } from 'node:test';
import { FAKE_HELPER, Helper, OstrovaneError, spawn, SpawnOptions } from '../src';

/** A temporary directory removed when the test ends. */
export function tempDir(t: TestContext): string {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ostrovane-node-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/** Starts the fake helper with a script; it is closed when the test ends. */
export async function fake(t: TestContext, script: object = {}, options: SpawnOptions = {}): Promise<Helper> {
  const file = path.join(tempDir(t), 'script.json');
  fs.writeFileSync(file, JSON.stringify(script));
  const helper = await spawn({ binary: FAKE_HELPER, ...options, env: { OSTROVANE_FAKE_SCRIPT: file, ...options.env } });
  t.after(() => helper.close(1000));
  return helper;
}

/** "ok" / "ok:<value>" for a resolved promise, the reason word for a rejected one. */
export async function outcome(p: Promise<unknown>): Promise<string> {
  try {
    const v = await p;
    return v === undefined ? 'ok' : `ok:${typeof v === 'string' ? v : JSON.stringify(v)}`;
  } catch (e) {
    if (e instanceof OstrovaneError) return e.reason;
    throw e;
  }
}

/** Width and height from a PNG's IHDR, after checking the signature. */
export function pngSize(png: Buffer): { width: number; height: number } {
  const sig = Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]);
  if (!png.subarray(0, 8).equals(sig) || png.toString('ascii', 12, 16) !== 'IHDR') throw new Error('not a PNG');
  return { width: png.readUInt32BE(16), height: png.readUInt32BE(20) };
}

export const sleep = (ms: number) => new Promise((r) => setTimeout(r, ms));

export const R = 'CMD_RESPONSE:';

/** Waits until cond() holds (fails after timeoutMs). */
export async function until(cond: () => boolean, timeoutMs = 5000): Promise<void> {
  const end = Date.now() + timeoutMs;
  while (!cond()) {
    if (Date.now() > end) throw new Error('condition not met in time');
    await sleep(10);
  }
}
