#!/usr/bin/env node
'use strict';
/*
 * A stand-in for the ostrovane helper, speaking its protocol on stdin,
 * stdout and stderr, for parents' tests. With no script it behaves like a
 * quiet healthy helper; a JSON script (path in $OSTROVANE_FAKE_SCRIPT or as
 * the first argument) changes what it answers. See the package README for
 * the script format.
 */
const fs = require('fs');
const zlib = require('zlib');

const scriptPath = process.argv[2] || process.env.OSTROVANE_FAKE_SCRIPT;
const script = scriptPath ? JSON.parse(fs.readFileSync(scriptPath, 'utf8')) : {};
const screen = Object.assign({ width: 1280, height: 720 }, script.screen);

const STARTUP = [
  'Ostrovane starting...',
  '✅ macOS version check passed, creating Task...',
  '🟢 About to start RunLoop.main.run()...',
  '🔵 Task executing, about to call runApp()...',
  'runApp() called - helper in IDLE mode',
  'Helper ready, waiting for commands...',
];

// ---------------------------------------------------------------- output

function line(text) {
  process.stderr.write(`${text}\n`);
}

process.stdout.on('error', () => process.exit(1));
process.stderr.on('error', () => {});

function audioFrame(stream, sequence, level) {
  const pcm = Buffer.alloc(3840);
  // A square wave of this amplitude has exactly this RMS.
  const amp = Math.round(Math.min(1, Math.max(0, level)) * 32767);
  for (let i = 0; i < 1920; i++) pcm.writeInt16LE(i % 2 === 0 ? amp : -amp, i * 2);
  const h = Buffer.alloc(24);
  h.write('APLD', 0, 'ascii');
  h[4] = 1;
  h[5] = stream === 'system' ? 2 : 1;
  h.writeUInt16LE(48000, 6);
  h[8] = 2;
  h[9] = 16;
  h.writeUInt16LE(Math.min(65535, Math.trunc((amp / 32767) * 65535)), 10);
  h.writeUInt32LE(pcm.length, 12);
  h.writeUInt32LE(sequence >>> 0, 16);
  return Buffer.concat([h, pcm]);
}

/** A Baseline-profile SPS for a picture of w x h (even sides), emulation-escaped. */
function sps(w, h) {
  const bits = [];
  const u = (n, v) => {
    for (let i = n - 1; i >= 0; i--) bits.push((v >> i) & 1);
  };
  const ue = (v) => {
    const x = v + 1;
    const len = Math.floor(Math.log2(x));
    u(len, 0);
    u(len + 1, x);
  };
  const mbw = Math.ceil(w / 16);
  const mbh = Math.ceil(h / 16);
  u(8, 66); u(8, 0xc0); u(8, 30); ue(0); ue(0); ue(2); ue(1); u(1, 0);
  ue(mbw - 1); ue(mbh - 1); u(1, 1); u(1, 1);
  const cropR = (mbw * 16 - w) / 2;
  const cropB = (mbh * 16 - h) / 2;
  if (cropR || cropB) { u(1, 1); ue(0); ue(cropR); ue(0); ue(cropB); } else u(1, 0);
  u(1, 0); // no VUI
  bits.push(1);
  while (bits.length % 8) bits.push(0);
  const raw = [0x67];
  for (let i = 0; i < bits.length; i += 8) raw.push(parseInt(bits.slice(i, i + 8).join(''), 2));
  const out = [];
  let zeros = 0;
  for (const b of raw) {
    if (zeros >= 2 && b <= 3) { out.push(3); zeros = 0; }
    out.push(b);
    zeros = b === 0 ? zeros + 1 : 0;
  }
  return Buffer.from(out);
}

const START = Buffer.from([0, 0, 0, 1]);
function videoFrame(v, sequence) {
  const key = sequence % v.keyEvery === 0;
  const data = key
    ? Buffer.concat([START, sps(v.pictureWidth, v.pictureHeight), START, Buffer.from([0x68, 0xce, 0x38, 0x80]), START, Buffer.from([0x65, 0x88, 0x84, 0x00, 0x10, sequence & 0xff])])
    : Buffer.concat([START, Buffer.from([0x41, 0x9a, 0x00, 0x10, sequence & 0xff])]);
  const h = Buffer.alloc(32);
  h.write('APLD', 0, 'ascii');
  h[4] = 2;
  h[5] = 3;
  h.writeUInt16LE(v.width, 6);
  h.writeUInt16LE(v.height, 8);
  h[10] = v.fps;
  h[11] = key ? 1 : 2;
  h.writeBigUInt64LE(BigInt(Math.round((sequence * 1e6) / v.fps)), 12);
  h.writeUInt32LE(data.length, 20);
  h.writeUInt32LE(sequence >>> 0, 24);
  return Buffer.concat([h, data]);
}

const CRC = new Int32Array(256).map((_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c;
});
function crc32(buf) {
  let c = -1;
  for (const b of buf) c = CRC[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ -1) >>> 0;
}
function chunk(type, data) {
  const len = Buffer.alloc(4);
  len.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, 'ascii'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([len, body, crc]);
}
/** A grey RGB PNG of w x h. */
function png(w, h) {
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(w, 0);
  ihdr.writeUInt32BE(h, 4);
  ihdr[8] = 8;
  ihdr[9] = 2;
  const rows = Buffer.alloc((w * 3 + 1) * h, 0x80);
  for (let y = 0; y < h; y++) rows[y * (w * 3 + 1)] = 0;
  return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', ihdr), chunk('IDAT', zlib.deflateSync(rows)), chunk('IEND', Buffer.alloc(0))]);
}

// ---------------------------------------------------------------- state

const state = {
  streaming: 'off', // off | pending | on
  streamTimer: null,
  startTimer: null,
  monitoring: false,
  video: null,
  videoTimer: null,
};
const timers = new Set();

function later(ms, fn) {
  const t = setTimeout(() => {
    timers.delete(t);
    fn();
  }, ms);
  timers.add(t);
  return t;
}

function startAudio(levels) {
  let seq = 0;
  state.streamTimer = setInterval(() => {
    process.stdout.write(audioFrame('mic', seq, levels.mic));
    process.stdout.write(audioFrame('system', seq, levels.system));
    seq++;
  }, 20);
}

function stopAudio() {
  clearInterval(state.streamTimer);
  clearTimeout(state.startTimer);
  state.streamTimer = null;
  state.streaming = 'off';
}

function startVideoFrames(v) {
  let seq = 0;
  state.videoTimer = setInterval(() => process.stdout.write(videoFrame(v, seq++)), Math.round(1000 / v.fps));
}

const levels = Object.assign({ mic: 0.25, system: 0.1 }, script.levels);

// ---------------------------------------------------------------- built-in answers

const R = 'CMD_RESPONSE:';
const builtin = {
  START_STREAMING() {
    if (state.streaming !== 'off') return line(`${R}STREAMING:already_active`);
    state.streaming = 'pending';
    if (!state.monitoring) state.monitoring = true;
    state.startTimer = later(script.streamStartMs ?? 50, () => {
      if (state.streaming !== 'pending') return;
      state.streaming = 'on';
      line(`${R}STREAMING:started`);
      startAudio(levels);
    });
  },
  STOP_STREAMING() {
    stopAudio();
    line(`${R}STREAMING:stopped`);
  },
  START_MIC_MONITORING() {
    line(`${R}MIC_MONITORING:${state.monitoring ? 'already_active' : 'started'}`);
    if (!state.monitoring) {
      state.monitoring = true;
      line(`MIC_EVENT:{"deviceId":"1","deviceName":"Fake Microphone","state":"inactive","timestamp":${Date.now() / 1000}}`);
    }
  },
  STOP_MIC_MONITORING() {
    line(`${R}MIC_MONITORING:${state.monitoring ? 'stopped' : 'not_active'}`);
    state.monitoring = false;
  },
  STOP() {
    stopAudio();
    clearInterval(state.videoTimer);
    line(`${R}STOPPED:ok`);
    setTimeout(() => process.exit(0), 100);
    return 'stop';
  },
  SCREENSHOT() {
    line(`${R}SCREENSHOT_DATA:${png(screen.width, screen.height).toString('base64')}`);
  },
  LIST_DEVICES() {
    line(`${R}DEVICES_LIST:[{"id":"fake_mic","name":"Fake Microphone","type":"input"}]`);
  },
  GET_CURRENT_MIC() {
    line(`${R}CURRENT_MIC:Fake Microphone`);
  },
  HEALTH_CHECK() {
    line(`${R}HEALTH_OK:${Date.now() / 1000}`);
  },
  TEST_WAV(arg) {
    if (state.streaming !== 'off') return line(`${R}TEST_WAV:error:streamer_already_active`);
    if (!arg || !fs.existsSync(arg)) return line(`${R}TEST_WAV:error:file_not_found`);
    state.streaming = 'on';
    line(`${R}TEST_WAV:started:${arg}`);
    startAudio(levels);
  },
  TEST_MIC_TAP() {
    line(`${R}TEST_MIC_TAP:ok:taps=15 frames=15 avgRMS=0.3536`);
  },
  GET_DEVICE_DIAGNOSTIC(arg) {
    if (state.streaming === 'on') line(`DEVICE_DIAGNOSTIC:${JSON.stringify({ event: 'capture_problem', reason: arg || 'requested' })}`);
    line('EVENT:DEVICE_DIAGNOSTIC_REQUESTED');
  },
  SAMPLE_RUNNING_MICS(arg) {
    line('EVENT:RUNNING_MICS_SAMPLE_STARTED');
    const running = state.streaming === 'on';
    later(250, () => {
      const rec = { event: 'running_mics_sample', reason: arg || 'requested', samples: [], totalDurationMs: 251 };
      if (running) {
        rec.samples.push({ id: 'fake_mic', name: 'Fake Microphone', rms: levels.mic, peakRms: levels.mic, framesCaptured: 25, sampleDurationMs: 250 });
        rec.selectedDeviceId = 'fake_mic';
      }
      line(`RUNNING_MICS_SAMPLE:${JSON.stringify(rec)}`);
    });
  },
  LIST_WINDOWS() {
    const tw = Math.min(240, screen.width);
    const th = Math.max(1, Math.round((tw * screen.height) / screen.width));
    const display = { type: 'display', id: 1, name: `Fake Display (${screen.width}×${screen.height}, Primary)`, appName: '', width: screen.width, height: screen.height, x: 0, y: 0, thumbnail: `data:image/png;base64,${png(tw, th).toString('base64')}` };
    line(`${R}LIST_WINDOWS:${JSON.stringify([display])}`);
  },
  SNAPSHOT_NOW(arg) {
    if (!state.video) return line(`${R}SNAPSHOT_NOW:error:no_capture`);
    const max = Number.isNaN(parseInt(arg, 10)) ? 320 : parseInt(arg, 10);
    const w = max > 0 ? Math.min(max, state.video.pictureWidth) : state.video.pictureWidth;
    line(`${R}SNAPSHOT_NOW:${png(w, Math.max(1, Math.round((w * state.video.pictureHeight) / state.video.pictureWidth))).toString('base64')}`);
  },
  START_VIDEO(arg) {
    if (state.video) return line(`${R}START_VIDEO:error:already_active`);
    let o;
    try {
      o = JSON.parse(arg || '{}');
    } catch (e) {
      return line(`${R}START_VIDEO:error:${e.message}`);
    }
    if (o === null || typeof o !== 'object' || Array.isArray(o)) return line(`${R}START_VIDEO:error:invalid_json`);
    const num = (k, d) => (typeof o[k] === 'number' ? o[k] : d);
    const v = { width: num('width', 1920), height: num('height', 1080), fps: num('fps', 10), bitrate: num('bitrate', 2000000) };
    if (!(v.width >= 1 && v.width <= 65535)) return line(`${R}START_VIDEO:error:invalid_width`);
    if (!(v.height >= 1 && v.height <= 65535)) return line(`${R}START_VIDEO:error:invalid_height`);
    if (!(v.fps >= 1 && v.fps <= 255)) return line(`${R}START_VIDEO:error:invalid_fps`);
    if (!(v.bitrate >= 1000)) return line(`${R}START_VIDEO:error:invalid_bitrate`);
    if (num('id', 0) !== 1) return line(`${R}START_VIDEO:error:targetNotFound("Display ${num('id', 0)} not found")`);
    const even = (x) => x - (x % 2);
    v.pictureWidth = even(Math.min(v.width, Math.max(640, screen.width / 2)));
    v.pictureHeight = even(Math.min(v.height, Math.max(360, screen.height / 2)));
    v.keyEvery = v.fps;
    state.video = v;
    line(`${R}START_VIDEO:started`);
    startVideoFrames(v);
  },
  STOP_VIDEO() {
    line(`${R}STOP_VIDEO:${state.video ? 'stopped' : 'not_active'}`);
    clearInterval(state.videoTimer);
    state.video = null;
  },
  SWITCH_VIDEO(arg) {
    let o;
    try {
      o = JSON.parse(arg || '{}');
    } catch {
      return line(`${R}SWITCH_VIDEO:error:invalid_json`);
    }
    if (!(typeof o.id === 'number' && o.id >= 1)) return line(`${R}SWITCH_VIDEO:error:invalid_target_id`);
    if (o.type !== 'display' && o.type !== 'window') return line(`${R}SWITCH_VIDEO:error:invalid_target_type`);
    if (!state.video) return line(`${R}SWITCH_VIDEO:error:not_active`);
    line(`${R}SWITCH_VIDEO:switched`);
  },
};

// ---------------------------------------------------------------- scripted actions

const seen = new Map();

function reactionFor(name, lineText) {
  const rules = script.on || {};
  const key = Object.prototype.hasOwnProperty.call(rules, lineText) ? lineText : Object.prototype.hasOwnProperty.call(rules, name) ? name : undefined;
  if (key === undefined) return undefined;
  const n = seen.get(key) || 0;
  seen.set(key, n + 1);
  const r = rules[key];
  if (Array.isArray(r) && r.length > 0 && Array.isArray(r[0])) return r[Math.min(n, r.length - 1)];
  return r;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function run(action, ctx) {
  if (action.after !== undefined) {
    const rest = Object.assign({}, action);
    delete rest.after;
    later(action.after, () => run(rest, ctx));
    return;
  }
  if (action.sleep !== undefined) await sleep(action.sleep);
  if (action.line !== undefined) line(action.line);
  if (action.lines) action.lines.forEach(line);
  if (action.stdout) process.stdout.write(Buffer.from(action.stdout, 'hex'));
  if (action.audio) {
    const a = action.audio;
    const count = a.count ?? 1;
    const interval = a.intervalMs ?? 0;
    for (let i = 0; i < count; i++) {
      process.stdout.write(audioFrame(a.stream || 'mic', (a.start ?? 0) + i, a.level ?? 0.5));
      if (interval) await sleep(interval);
    }
  }
  if (action.video) {
    const v = Object.assign({ width: 1920, height: 1080, fps: 10, start: 0, count: 1 }, action.video);
    v.pictureWidth = v.pictureWidth ?? v.width - (v.width % 2);
    v.pictureHeight = v.pictureHeight ?? v.height - (v.height % 2);
    v.keyEvery = v.keyEvery ?? v.fps;
    for (let i = 0; i < v.count; i++) process.stdout.write(videoFrame(v, v.start + i));
  }
  if (action.default && builtin[ctx.name]) builtin[ctx.name](ctx.arg);
  if (action.kill) process.kill(process.pid, 'SIGKILL');
  if (action.exit !== undefined) process.exit(action.exit);
}

async function runAll(actions, ctx) {
  for (const a of actions || []) await run(a, ctx);
}

// ---------------------------------------------------------------- command loop

const queue = [];
let busy = false;
let stopped = false;

async function pump() {
  if (busy) return;
  busy = true;
  while (queue.length && !stopped) {
    const text = queue.shift();
    line(`Received command: ${text}`);
    const colon = text.indexOf(':');
    const name = (colon < 0 ? text : text.slice(0, colon)).toUpperCase();
    const arg = colon < 0 ? undefined : text.slice(colon + 1);
    const reaction = reactionFor(name, text);
    if (reaction !== undefined) {
      await runAll(reaction, { name, arg });
      if (name === 'STOP') stopped = true;
    } else if (builtin[name]) {
      if (builtin[name](arg) === 'stop') stopped = true;
    } else {
      line(`Unknown command: ${text}`);
    }
  }
  busy = false;
}

async function main() {
  for (const l of script.startup || STARTUP) line(l);
  if (script.version !== null) line(`Ostrovane version ${script.version || '0.1.0'}`);
  await runAll(script.afterStartup, { name: '', arg: undefined });

  let pending = Buffer.alloc(0);
  process.stdin.on('data', (c) => {
    pending = Buffer.concat([pending, c]);
    let nl;
    while ((nl = pending.indexOf(10)) >= 0) {
      let text = pending.subarray(0, nl).toString('utf8');
      pending = pending.subarray(nl + 1);
      if (text.endsWith('\r')) text = text.slice(0, -1);
      queue.push(text);
    }
    pump();
  });
  // End of input stops reading only; like the helper, keep running.
  process.stdin.on('end', () => {});

  // Exit when the parent goes away (process.ppid is read once at start-up, so ask the kernel).
  const parent = process.ppid;
  const parentNow = () => {
    try {
      const stat = fs.readFileSync('/proc/self/stat', 'utf8');
      return Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
    } catch {
      try {
        process.kill(parent, 0);
        return parent;
      } catch {
        return -1;
      }
    }
  };
  setInterval(() => {
    if (parentNow() !== parent) process.exit(0);
  }, 200);
}

main();
