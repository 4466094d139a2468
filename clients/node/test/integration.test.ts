import { strict as assert } from 'assert';
import { execFileSync } from 'child_process';
import * as fs from 'fs';
import * as path from 'path';
import { after, before, test } from 'node:test';
import { AudioFrame, Helper, OstrovaneError, spawn, VideoFrame } from '../src';
import { pngSize, sleep } from './fixtures';
import { Rig } from './rig';

// Tests against the real helper on a private PulseAudio and Xvfb.
const PACKAGE = path.resolve(__dirname, '..', '..');
const BINARY = process.env.OSTROVANE_BINARY || path.resolve(PACKAGE, '..', '..', 'build', 'default', 'src', 'ostrovane');
const missing = !fs.existsSync(BINARY);
if (missing && process.env.CI) throw new Error(`helper binary not found at ${BINARY} (set OSTROVANE_BINARY)`);
const skip = missing ? `helper binary not found at ${BINARY}; set OSTROVANE_BINARY to run the integration tests` : false;

const rig = new Rig();
const work = fs.mkdtempSync(path.join(require('os').tmpdir(), 'ostrovane-it-'));
let rigError: Error | undefined;

before(async () => {
  if (skip) return;
  try {
    await rig.start();
  } catch (e) {
    rigError = e as Error;
  }
});
after(async () => {
  await rig.stop();
  fs.rmSync(work, { recursive: true, force: true });
});

async function helper(t: { after: (fn: () => unknown) => void }, env: Record<string, string | undefined> = {}): Promise<Helper> {
  // A private server that cannot start fails the test; it never skips.
  if (rigError) throw rigError;
  const h = await spawn({ binary: BINARY, env: { ...rig.env, ...env } });
  t.after(() => h.close());
  return h;
}

function ffprobe(file: string): { width: number; height: number; frames: number } {
  const out = execFileSync('ffprobe', ['-v', 'error', '-f', 'h264', '-count_frames', '-select_streams', 'v:0', '-show_entries', 'stream=width,height,nb_read_frames', '-of', 'json', file]).toString();
  const s = JSON.parse(out).streams[0];
  return { width: s.width, height: s.height, frames: Number(s.nb_read_frames) };
}

test('streaming delivers both audio streams with levels and contiguous sequence numbers', { skip }, async (t) => {
  const h = await helper(t);
  const frames: AudioFrame[] = [];
  h.on('audio', (f) => frames.push(f));
  await h.startStreaming();
  // A private PulseAudio delivers its first buffers about 2 s after a recording starts.
  const deadline = Date.now() + 10_000;
  while (Date.now() < deadline && Math.min(...['mic', 'system'].map((s) => frames.filter((f) => f.stream === s).length)) < 50) await sleep(100);
  await h.stopStreaming();
  for (const stream of ['mic', 'system'] as const) {
    const own = frames.filter((f) => f.stream === stream);
    assert.ok(own.length >= 50, `${stream}: ${own.length} frames`);
    assert.deepEqual(own.map((f) => f.sequence), [...Array(own.length).keys()], `${stream} sequence numbers`);
    assert.ok(own.every((f) => f.pcm.length === 3840 && f.sampleRate === 48000 && f.channels === 2));
    const level = own.slice(-10).reduce((a, f) => a + f.level, 0) / 10;
    assert.ok(level > 0.05 && level < 1, `${stream} level ${level}`);
  }
  assert.ok((await h.health()).seconds > 0);
});

test('targets, screenshot and snapshot show the display', { skip }, async (t) => {
  const h = await helper(t);
  const displays = (await h.listTargets()).filter((x) => x.type === 'display');
  assert.equal(displays.length, 1);
  assert.deepEqual([displays[0].width, displays[0].height], [1280, 720]);
  assert.ok(pngSize(displays[0].thumbnail as Buffer).width <= 240);
  assert.deepEqual(pngSize(await h.screenshot()), { width: 1280, height: 720 });
  assert.equal(await h.snapshot(320).catch((e) => e.reason), 'no_capture');
});

test('a screenshot without a display fails with the log line as its text', { skip }, async (t) => {
  const h = await helper(t, { DISPLAY: undefined, WAYLAND_DISPLAY: undefined });
  await assert.rejects(h.screenshot(), (e: OstrovaneError) => e.reason === 'screenshot_failed' && e.text.length > 0);
  assert.ok((await h.health()).seconds > 0);
});

test('display video decodes at the size its SPS tells', { skip }, async (t) => {
  const h = await helper(t);
  const [display] = (await h.listTargets()).filter((x) => x.type === 'display');
  const file = path.join(work, 'video.h264');
  const rec = h.recordH264(file);
  const frames: VideoFrame[] = [];
  h.on('video', (f) => frames.push(f));
  await h.startVideo({ type: 'display', id: display.id, width: 640, height: 360, fps: 10 });
  await sleep(2500);
  assert.ok(pngSize(await h.snapshot(200)).width <= 200);
  assert.equal(await h.stopVideo(), 'stopped');
  const stats = rec.close();
  // A still display: the first frame at once, then the last picture once a second.
  assert.ok(stats.frames >= 2 && stats.keyframes >= 1, JSON.stringify(stats));
  assert.ok(frames[0].keyframe);
  assert.deepEqual([frames[0].width, frames[0].height, frames[0].fps], [640, 360, 10]);
  assert.deepEqual([frames[frames.length - 1].decodedWidth, frames[frames.length - 1].decodedHeight], [640, 360]);
  const probed = ffprobe(file);
  assert.deepEqual([probed.width, probed.height], [640, 360]);
  assert.equal(probed.frames, stats.frames);
});

test('STOP ends the helper with status 0', { skip }, async (t) => {
  const h = await helper(t);
  await h.stop();
  assert.deepEqual(await h.exited, { code: 0, signal: null, expected: true });
});

test('the README example records as written', { skip }, async () => {
  if (rigError) throw rigError;
  const readme = fs.readFileSync(path.join(PACKAGE, 'README.md'), 'utf8');
  const code = /<!-- example -->\s*```js\n([\s\S]*?)```/.exec(readme)?.[1];
  assert.ok(code, 'README has the example');
  assert.ok(code.trim().split('\n').length <= 15);
  const dir = path.join(work, 'example');
  fs.mkdirSync(path.join(dir, 'node_modules'), { recursive: true });
  fs.symlinkSync(PACKAGE, path.join(dir, 'node_modules', 'ostrovane'));
  fs.writeFileSync(path.join(dir, 'example.js'), code);
  execFileSync(process.execPath, ['example.js'], { cwd: dir, env: { ...process.env, ...rig.env, OSTROVANE_BINARY: BINARY }, timeout: 60_000, stdio: 'pipe' });
  for (const name of ['mic.wav', 'system.wav']) {
    const wav = fs.readFileSync(path.join(dir, name));
    const seconds = (wav.length - 44) / 192000;
    assert.ok(seconds > 2 && seconds < 6, `${name}: ${seconds} s`);
  }
  const video = ffprobe(path.join(dir, 'screen.h264'));
  // The rig's display stands still: a frame at once, then one a second.
  assert.ok(video.frames >= 3, `${video.frames} video frames`);
});
