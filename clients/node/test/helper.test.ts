import { strict as assert } from 'assert';
import * as fs from 'fs';
import * as path from 'path';
import { test } from 'node:test';
import { AudioGap, Frame, MicEvent, OstrovaneError, spawn, FAKE_HELPER } from '../src';
import { fake, outcome, pngSize, R, sleep, tempDir, until } from './fixtures';

test('spawn resolves once ready, with the version and the start-up lines kept', async (t) => {
  const h = await fake(t, { version: '9.8.7', afterStartup: [{ line: 'MIC_EVENT:{"deviceId":"1","deviceName":"M","state":"active","timestamp":1}' }] });
  // A listener added right after spawn still sees lines written with the start-up lines.
  const events: MicEvent[] = [];
  h.on('micEvent', (e) => events.push(e));
  await h.health();
  assert.equal(h.version, '9.8.7');
  assert.ok(h.startupLines.includes('Helper ready, waiting for commands...'));
  assert.equal(h.startupLines[h.startupLines.length - 1], 'Ostrovane version 9.8.7');
  assert.equal(h.history[0].text, 'Ostrovane starting...');
  assert.deepEqual(events.map((e) => e.state), ['active']);
});

test('spawn failures', async (t) => {
  const cases: Array<[string, object | null, string, RegExp]> = [
    ['missing binary', null, 'not_found', /no-such-helper/],
    ['dies during start-up', { startup: ['Ostrovane starting...', 'cannot open display'], version: null, afterStartup: [{ exit: 3 }] }, 'exited', /status 3[\s\S]*cannot open display/],
    ['never ready', { version: null }, 'timeout', /not ready/],
  ];
  for (const [name, script, reason, text] of cases) {
    await t.test(name, async (t) => {
      const p =
        script === null
          ? spawn({ binary: path.join(tempDir(t), 'no-such-helper') })
          : (() => {
              const file = path.join(tempDir(t), 's.json');
              fs.writeFileSync(file, JSON.stringify(script));
              return spawn({ binary: FAKE_HELPER, env: { OSTROVANE_FAKE_SCRIPT: file }, startupTimeoutMs: 500 });
            })();
      await assert.rejects(p, (e: OstrovaneError) => e.reason === reason && text.test(e.text));
    });
  }
});

test('every command resolves with its typed result', async (t) => {
  const h = await fake(t, { screen: { width: 800, height: 600 } });
  assert.deepEqual(await h.listDevices(), [{ id: 'fake_mic', name: 'Fake Microphone', type: 'input' }]);
  assert.equal(await h.currentMic(), 'Fake Microphone');
  assert.deepEqual(await h.testMicTap(), { taps: 15, frames: 15, avgRMS: 0.3536 });
  const health = await h.health();
  assert.ok(Math.abs(health.seconds - Date.now() / 1000) < 5 && health.time instanceof Date);
  const [display] = await h.listTargets();
  assert.equal(display.type, 'display');
  assert.deepEqual(pngSize(display.thumbnail as Buffer), { width: 240, height: 180 });
  assert.deepEqual(pngSize(await h.screenshot()), { width: 800, height: 600 });
  assert.equal(await outcome(h.snapshot()), 'no_capture');
  assert.equal(await h.startMicMonitoring(), 'started');
  assert.equal(await h.startMicMonitoring(), 'already_active');
  assert.equal(await h.stopMicMonitoring(), 'stopped');
  assert.equal(await h.stopVideo(), 'not_active');
  assert.equal(await outcome(h.startVideo({ id: 1, fps: 0 })), 'invalid_fps');
  assert.equal(await outcome(h.startVideo({ id: 7 })), 'targetNotFound');
  assert.equal(await outcome(h.switchVideo({ type: 'display', id: 1 })), 'not_active');
  assert.equal(await outcome(h.testWav('/nonexistent.wav')), 'file_not_found');
  assert.equal(await h.deviceDiagnostic(), null);
  assert.deepEqual((await h.sampleRunningMics('idle')).samples, []);
  await h.startStreaming();
  assert.equal(await outcome(h.startStreaming()), 'already_active');
  assert.deepEqual(await h.deviceDiagnostic('why'), { event: 'capture_problem', reason: 'why' });
  assert.equal((await h.sampleRunningMics('busy')).selectedDeviceId, 'fake_mic');
  await h.stopStreaming();
  await h.stop();
  assert.deepEqual(await h.exited, { code: 0, signal: null, expected: true });
});

test('a late start answer does not hold up later answers', async (t) => {
  const h = await fake(t, { on: { START_STREAMING: [{ after: 300, line: `${R}STREAMING:started` }] } });
  const order: string[] = [];
  const start = h.startStreaming().then(() => order.push('start'));
  const health = h.health().then(() => order.push('health'));
  const devices = h.listDevices().then(() => order.push('devices'));
  await Promise.all([start, health, devices]);
  assert.deepEqual(order, ['health', 'devices', 'start']);
});

test("a second start's already_active before the first start's started", async (t) => {
  const h = await fake(t, {
    on: { START_STREAMING: [[{ after: 200, line: `${R}STREAMING:started` }], [{ line: `${R}STREAMING:already_active` }]] },
  });
  const results = await Promise.all([outcome(h.startStreaming()), outcome(h.startStreaming())]);
  assert.deepEqual(results, ['ok', 'already_active']);
});

test('a stop before the start is decided rejects the start as cancelled', async (t) => {
  const h = await fake(t, { streamStartMs: 500 });
  const results = await Promise.all([outcome(h.startStreaming()), outcome(h.stopStreaming())]);
  assert.deepEqual(results, ['cancelled', 'ok']);
});

test('a screenshot failure that is only a log line', async (t) => {
  const h = await fake(t, { on: { SCREENSHOT: [{ line: 'ERROR: Failed to capture screenshot: no display' }] } });
  await assert.rejects(h.screenshot(), (e: OstrovaneError) => e.reason === 'screenshot_failed' && /no display/.test(e.text) && e.command === 'SCREENSHOT');
  assert.ok((await h.health()).seconds > 0);
});

test('a helper that dies mid-call rejects every waiting call and reports the exit', async (t) => {
  const h = await fake(t, { on: { HEALTH_CHECK: [{ line: 'about to crash' }, { exit: 7 }] } });
  const errors: OstrovaneError[] = [];
  h.on('error', (e) => errors.push(e));
  const exits: unknown[] = [];
  h.on('exit', (e) => exits.push(e));
  const frames = h.frames();
  const pending = [h.health(), h.listDevices()].map((p) => p.catch((e: OstrovaneError) => e));
  for (const e of await Promise.all(pending)) {
    assert.ok(e instanceof OstrovaneError);
    assert.equal(e.reason, 'exited');
    assert.match(e.text, /status 7[\s\S]*about to crash/);
  }
  await assert.rejects(frames.next(), (e: OstrovaneError) => e.reason === 'exited');
  assert.deepEqual(exits, [{ code: 7, signal: null, expected: false }]);
  assert.equal(errors.length, 1);
  assert.equal(await outcome(h.health()), 'exited');
});

test('silence gives a timeout, and the next call gets its own answer', async (t) => {
  const h = await fake(t, { on: { HEALTH_CHECK: [[], [{ line: `${R}HEALTH_OK:42.5` }]] } });
  assert.equal(await outcome(h.health({ timeoutMs: 200 })), 'timeout');
  assert.equal((await h.health()).seconds, 42.5);
});

test('a command the helper does not know is rejected at once', async (t) => {
  const line = 'SWITCH_VIDEO:{"type":"display","id":2}';
  const h = await fake(t, { on: { [line]: [{ line: `Unknown command: ${line}` }] } });
  await assert.rejects(h.switchVideo({ type: 'display', id: 2 }, { timeoutMs: 5000 }), (e: OstrovaneError) => e.reason === 'unknown_command');
});

test('an answer line of several megabytes is read whole', async (t) => {
  const png = Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), Buffer.alloc(4_000_000, 7)]);
  const h = await fake(t, { on: { SCREENSHOT: [{ line: `${R}SCREENSHOT_DATA:${png.toString('base64')}` }] } });
  assert.ok((await h.screenshot()).equals(png));
  assert.ok(h.history[h.history.length - 1].text.length < 5000, 'the history keeps a cut copy');
});

test('records and events arrive typed', async (t) => {
  const lines = [
    'MIC_EVENT:{"deviceId":"73","deviceName":"USB Microphone","state":"active","timestamp":1765012345.678}',
    'MIC_APP_SNAPSHOT:{"bundleIds":["org.example"],"timestamp":1}',
    'MIC_APP_STOP_EVENT:{"bundleId":"org.example","timestamp":2}',
    'RECOVERY_ATTEMPT:1:silent',
    'EVENT:RECOVERY_SUCCESS',
    'RECOVERY_FAILED:microphone_device_unavailable',
    'EVENT:SYSTEM_AUDIO_CONTENTION:-3805',
    'EVENT:SYSTEM_AUDIO_CONTENTION_RESOLVED',
    'EVENT:SYSTEM_AUDIO_START_FAILED:no_monitor',
    'EVENT:VIDEO_STREAM_ERROR:display went away',
    'EVENT:AUDIO_GAP:{"stream":"system","sequence":12,"durationMs":140,"reason":"source_silent","timestamp":1.5}',
    'DEVICE_DIAGNOSTIC:{"event":"capture_start"}',
    'SimpleAudioStreamer: a plain log line',
    'EVENT:SOMETHING_NEW:detail',
  ];
  const h = await fake(t, { on: { HEALTH_CHECK: [{ lines }, { default: true }] } });
  const seen: string[] = [];
  h.on('micEvent', (e) => seen.push(`mic ${e.deviceId} ${e.state}`));
  h.on('micApp', (r) => seen.push(`app ${r.kind} ${JSON.stringify(r.data.bundleIds ?? r.data.bundleId)}`));
  h.on('recovery', (r) => seen.push(`recovery ${r.kind} ${r.detail}`));
  h.on('systemAudio', (e) => seen.push(`system ${e.kind} ${e.detail}`));
  h.on('videoStreamError', (m) => seen.push(`video ${m}`));
  h.on('gap', (g) => seen.push(`gap ${g.stream} ${g.sequence} ${g.durationMs} ${g.reason}`));
  h.on('deviceDiagnostic', (r) => seen.push(`diag ${r.event}`));
  h.on('event', (name, detail) => seen.push(`event ${name} ${detail}`));
  h.on('log', (l) => {
    if (!l.startsWith('Received command')) seen.push(`log ${l}`);
  });
  await h.health();
  assert.deepEqual(seen, [
    'mic 73 active',
    'app snapshot ["org.example"]',
    'app stop "org.example"',
    'recovery attempt 1:silent',
    'recovery success ',
    'recovery failed microphone_device_unavailable',
    'system contention -3805',
    'system contention_resolved ',
    'system start_failed no_monitor',
    'video display went away',
    'gap system 12 140 source_silent',
    'diag capture_start',
    'log SimpleAudioStreamer: a plain log line',
    'event SOMETHING_NEW detail',
  ]);
  assert.equal(h.timeline.timeOf('system', 12), 12 * 20 + 140);
  assert.equal(h.timeline.timeOf('system', 11), 11 * 20);
  assert.equal(h.timeline.timeOf('mic', 12), 12 * 20);
});

function sequences(frames: Frame[], kind: string): number[] {
  return frames.filter((f) => (f.kind === 'audio' ? f.stream : 'video') === kind).map((f) => f.sequence);
}

test('frames(): a slow consumer with pause loses nothing', async (t) => {
  const h = await fake(t, { on: { HEALTH_CHECK: [{ default: true }, { audio: { stream: 'mic', count: 300 } }] } });
  const it = h.frames({ maxBuffered: 10 });
  let events = 0;
  h.on('audio', () => events++);
  await h.health();
  await sleep(300);
  assert.ok(events < 100, `reading paused after the buffer filled (${events} frames read)`);
  const got: Frame[] = [];
  for await (const f of it) {
    got.push(f);
    if (got.length === 300) break;
  }
  assert.deepEqual(sequences(got, 'mic'), [...Array(300).keys()]);
  assert.equal(it.dropped, 0);
});

test('frames(): drop-oldest keeps the newest frames and counts the rest', async (t) => {
  const h = await fake(t, { on: { HEALTH_CHECK: [{ default: true }, { audio: { stream: 'system', count: 50 } }, { video: { count: 2 } }] } });
  const it = h.frames({ maxBuffered: 8, overflow: 'drop-oldest' });
  await h.health();
  await until(() => it.dropped === 44);
  const got: Frame[] = [];
  for await (const f of it) {
    got.push(f);
    if (got.length === 8) break;
  }
  assert.deepEqual(sequences(got, 'system'), [44, 45, 46, 47, 48, 49]);
  assert.deepEqual(sequences(got, 'video'), [0, 1]);
  assert.equal(it.dropped, 44);
});

test('WAV recording places late gap lines and lost frames as silence', async (t) => {
  const gap: AudioGap = { stream: 'mic', sequence: 5, durationMs: 100, reason: 'output_too_slow', timestamp: 1 };
  const h = await fake(t, {
    on: {
      HEALTH_CHECK: [
        { default: true },
        { audio: { stream: 'mic', count: 5, level: 0.5 } },
        { audio: { stream: 'system', count: 3, level: 0.5 } },
        { audio: { stream: 'mic', start: 5, count: 2, level: 0.5 } },
        // sequence 7 is lost on the way
        { audio: { stream: 'mic', start: 8, count: 2, level: 0.5 } },
        // the gap line comes after the frames it precedes
        { line: `EVENT:AUDIO_GAP:${JSON.stringify(gap)}` },
      ],
    },
  });
  const dir = tempDir(t);
  const filled = h.recordWav('mic', path.join(dir, 'filled.wav'), { fillGaps: true });
  const plain = h.recordWav('mic', path.join(dir, 'plain.wav'));
  let micFrames = 0;
  h.on('audio', (f) => (micFrames += f.stream === 'mic' ? 1 : 0));
  await h.health();
  await until(() => micFrames === 9 && h.timeline.gapsOf('mic').length === 1);
  assert.deepEqual(filled.close(), { path: path.join(dir, 'filled.wav'), frames: 9, silenceMs: 120, bytes: 9 * 3840 + 120 * 192 });
  assert.equal(plain.close().bytes, 9 * 3840);

  const wav = fs.readFileSync(path.join(dir, 'filled.wav'));
  assert.equal(wav.toString('ascii', 0, 4), 'RIFF');
  assert.equal(wav.readUInt32LE(4), wav.length - 8);
  assert.deepEqual([wav.readUInt16LE(22), wav.readUInt32LE(24), wav.readUInt16LE(34)], [2, 48000, 16]);
  assert.equal(wav.readUInt32LE(40), wav.length - 44);
  // Sample at time t ms is at 44 + t * 192: audio, then 100 ms silence, audio, 20 ms silence, audio.
  const at = (ms: number) => Math.abs(wav.readInt16LE(44 + ms * 192));
  assert.deepEqual([at(0), at(99), at(100), at(199), at(200), at(239), at(240), at(259), at(260), at(299)], [16384, 16384, 0, 0, 16384, 16384, 0, 0, 16384, 16384]);
  assert.equal(h.timeline.timeOf('mic', 8), 8 * 20 + 100);
});

test('H.264 recording starts at a keyframe and carries the SPS size', async (t) => {
  const h = await fake(t, { on: { HEALTH_CHECK: [{ default: true }, { video: { start: 1, count: 5, keyEvery: 3, width: 1920, height: 1080, pictureWidth: 960, pictureHeight: 540 } }] } });
  const file = path.join(tempDir(t), 'v.h264');
  const rec = h.recordH264(file);
  const sizes: string[] = [];
  h.on('video', (f) => sizes.push(`${f.sequence}:${f.width}x${f.height}->${f.decodedWidth}x${f.decodedHeight}`));
  await h.health();
  await until(() => sizes.length === 5);
  const stats = rec.close();
  assert.deepEqual([stats.frames, stats.keyframes], [3, 1]);
  assert.deepEqual(sizes, ['1:1920x1080->undefinedxundefined', '2:1920x1080->undefinedxundefined', '3:1920x1080->960x540', '4:1920x1080->960x540', '5:1920x1080->960x540']);
  assert.equal(fs.readFileSync(file).subarray(0, 5).toString('hex'), '0000000167');
});

test('close() kills a helper that does not stop', async (t) => {
  const h = await fake(t, { on: { STOP: [] } });
  let errored = false;
  h.on('error', () => (errored = true));
  const started = Date.now();
  const info = await h.close(300);
  assert.deepEqual(info, { code: null, signal: 'SIGKILL', expected: true });
  assert.ok(Date.now() - started < 2000);
  assert.equal(errored, false);
});
