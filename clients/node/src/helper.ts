import { ChildProcess, spawn as spawnChild } from 'child_process';
import { EventEmitter } from 'events';
import * as fs from 'fs';
import * as path from 'path';
import { CallAnswer, CallTracker } from './calls';
import { OstrovaneError } from './errors';
import { AudioFrame, Frame, FrameParser, VideoFrame } from './frames';
import {
  AudioGap,
  CommandName,
  COMMANDS,
  DeviceDiagnosticRecord,
  isAnswerLine,
  MicAppRecord,
  MicEvent,
  parseLine,
  ParsedLine,
  RecoveryEvent,
  RunningMicsSampleRecord,
  SystemAudioEvent,
} from './protocol';
import { Timeline } from './timeline';
import { H264Stats, H264Writer, WavStats, WavWriter, WavWriterOptions } from './writers';

export interface SpawnOptions {
  /** Path of the helper executable. Default: $OSTROVANE_BINARY, then `ostrovane` beside this package or on PATH. */
  binary?: string;
  /** Variables added to (or, with value undefined, removed from) this process's environment for the helper. */
  env?: Record<string, string | undefined>;
  cwd?: string;
  /** How long to wait for the start-up lines (default 15 s). */
  startupTimeoutMs?: number;
  /** Recent stderr lines kept in `history` (default 500). */
  historySize?: number;
}

export interface CallOptions {
  /** Give up after this many ms (rejects with reason `timeout`). */
  timeoutMs?: number;
}

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
  /** The exit followed STOP, close() or kill(). */
  expected: boolean;
}

export interface MicDevice {
  id: string;
  name: string;
  type: string;
}

export interface CaptureTarget {
  type: 'display' | 'window' | string;
  id: number;
  name: string;
  appName: string;
  bundleId?: string;
  width: number;
  height: number;
  x: number;
  y: number;
  /** The thumbnail's PNG bytes, when the helper could take one. */
  thumbnail?: Buffer;
}

export interface VideoOptions {
  type?: 'display' | 'window';
  id?: number;
  width?: number;
  height?: number;
  fps?: number;
  bitrate?: number;
}

export interface MicTapResult {
  taps: number;
  frames: number;
  avgRMS: number;
}

export interface HealthResult {
  /** The helper's wall clock. */
  time: Date;
  /** The same, as seconds since 1970 with the helper's full precision. */
  seconds: number;
}

export interface LineRecord {
  /** Date.now() when the line was read. */
  at: number;
  /** The line; lines over 4096 characters are cut in the history (events carry them whole). */
  text: string;
}

export interface FrameIteratorOptions {
  /** Frames buffered for a slow consumer (default 1000, about 10 s of both audio streams). */
  maxBuffered?: number;
  /**
   * What happens when the buffer is full:
   * - `pause` (default): the library stops reading the helper's standard
   *   output until the consumer has taken half of the buffer. Nothing is lost
   *   here; the helper buffers about 15 s of audio itself and then drops the
   *   oldest, reported as AUDIO_GAP `output_too_slow`. Events from standard
   *   output ('audio', 'video') pause as well.
   * - `drop-oldest`: the oldest buffered frame is dropped (counted in
   *   `dropped`); the sequence numbers of the frames kept show the hole.
   */
  overflow?: 'pause' | 'drop-oldest';
  /** Which frames to yield (default both). */
  audio?: boolean;
  video?: boolean;
}

export interface FrameIterator extends AsyncIterableIterator<Frame> {
  /** Frames dropped because the consumer was slow (`drop-oldest`). */
  readonly dropped: number;
}

export interface HelperEvents {
  audio: [AudioFrame];
  video: [VideoFrame];
  gap: [AudioGap];
  micEvent: [MicEvent];
  micApp: [MicAppRecord];
  deviceDiagnostic: [DeviceDiagnosticRecord];
  runningMicsSample: [RunningMicsSampleRecord];
  recovery: [RecoveryEvent];
  videoStreamError: [string];
  systemAudio: [SystemAudioEvent];
  /** Other EVENT: lines (name, detail). */
  event: [string, string];
  /** Records with other tags. */
  record: [string, Record<string, unknown>];
  /** Answers no call claimed. */
  answer: [string];
  log: [string];
  line: [ParsedLine];
  error: [OstrovaneError];
  exit: [ExitInfo];
}

const READY_LINE = 'Helper ready, waiting for commands...';
const VERSION_RE = /^Ostrovane version (\S+)$/;
const MAX_COMMAND_LINE = 1024 * 1024;
const HISTORY_LINE_CHARS = 4096;

/** Children still running, killed when this process exits normally. */
const live = new Set<ChildProcess>();
let exitHookInstalled = false;
function track(child: ChildProcess): void {
  if (!exitHookInstalled) {
    exitHookInstalled = true;
    process.once('exit', () => {
      for (const c of live) c.kill('SIGKILL');
    });
  }
  live.add(child);
  child.once('exit', () => live.delete(child));
}

function isExecutable(p: string): boolean {
  try {
    fs.accessSync(p, fs.constants.X_OK);
    return fs.statSync(p).isFile();
  } catch {
    return false;
  }
}

/** Finds the helper executable: option, $OSTROVANE_BINARY, beside the package, PATH. */
export function resolveBinary(binary?: string): string {
  if (binary) return binary;
  const fromEnv = process.env.OSTROVANE_BINARY;
  if (fromEnv) return fromEnv;
  const pkgRoot = path.resolve(__dirname, '..', '..');
  const beside = [path.join(pkgRoot, 'bin', 'ostrovane'), path.join(pkgRoot, '..', '.bin', 'ostrovane')];
  const onPath = (process.env.PATH ?? '').split(path.delimiter).filter(Boolean).map((d) => path.join(d, 'ostrovane'));
  const found = beside.concat(onPath).find(isExecutable);
  if (!found) throw new OstrovaneError('not_found', 'no ostrovane executable: set OSTROVANE_BINARY or pass { binary }');
  return found;
}

/** Splits a byte stream into lines of any length, decoded as UTF-8 once whole. */
class LineSplitter {
  private parts: Buffer[] = [];
  constructor(private readonly onLine: (line: string) => void) {}

  push(chunk: Buffer): void {
    let start = 0;
    for (let nl = chunk.indexOf(10); nl >= 0; nl = chunk.indexOf(10, start)) {
      const piece = chunk.subarray(start, nl);
      const whole = this.parts.length ? Buffer.concat([...this.parts, piece]) : piece;
      this.parts = [];
      start = nl + 1;
      let text = whole.toString('utf8');
      if (text.endsWith('\r')) text = text.slice(0, -1);
      this.onLine(text);
    }
    if (start < chunk.length) this.parts.push(chunk.subarray(start));
  }

  end(): void {
    if (this.parts.length) this.push(Buffer.from('\n'));
  }
}

class FrameQueue implements FrameIterator {
  private buf: Frame[] = [];
  private waiter: { resolve: (r: IteratorResult<Frame>) => void; reject: (e: Error) => void } | undefined;
  private done = false;
  private failure: OstrovaneError | undefined;
  dropped = 0;

  constructor(
    private readonly owner: Helper,
    readonly max: number,
    readonly overflow: 'pause' | 'drop-oldest',
    private readonly wantAudio: boolean,
    private readonly wantVideo: boolean,
  ) {}

  get full(): boolean {
    return this.overflow === 'pause' && this.buf.length >= this.max;
  }

  get lowWater(): boolean {
    return this.buf.length <= this.max / 2;
  }

  offer(frame: Frame): void {
    if (this.done || (frame.kind === 'audio' ? !this.wantAudio : !this.wantVideo)) return;
    if (this.waiter) {
      const w = this.waiter;
      this.waiter = undefined;
      w.resolve({ value: frame, done: false });
      return;
    }
    this.buf.push(frame);
    if (this.overflow === 'drop-oldest' && this.buf.length > this.max) {
      this.buf.shift();
      this.dropped++;
    }
  }

  finish(failure?: OstrovaneError): void {
    this.done = true;
    this.failure = failure;
    if (this.waiter && this.buf.length === 0) {
      const w = this.waiter;
      this.waiter = undefined;
      if (failure) w.reject(failure);
      else w.resolve({ value: undefined, done: true });
    }
  }

  next(): Promise<IteratorResult<Frame>> {
    const frame = this.buf.shift();
    if (frame) {
      this.owner.frameTaken();
      return Promise.resolve({ value: frame, done: false });
    }
    if (this.done) {
      const failure = this.failure;
      this.failure = undefined;
      return failure ? Promise.reject(failure) : Promise.resolve({ value: undefined, done: true });
    }
    return new Promise((resolve, reject) => {
      this.waiter = { resolve, reject };
    });
  }

  return(): Promise<IteratorResult<Frame>> {
    this.done = true;
    this.buf = [];
    this.owner.detach(this);
    return Promise.resolve({ value: undefined, done: true });
  }

  [Symbol.asyncIterator](): FrameIterator {
    return this;
  }
}

export interface Recording<S> {
  /** Stops listening, writes what is held and closes the file. */
  close(): S;
}

export declare interface Helper {
  on<K extends keyof HelperEvents>(event: K, listener: (...args: HelperEvents[K]) => void): this;
  once<K extends keyof HelperEvents>(event: K, listener: (...args: HelperEvents[K]) => void): this;
  off<K extends keyof HelperEvents>(event: K, listener: (...args: HelperEvents[K]) => void): this;
  emit<K extends keyof HelperEvents>(event: K, ...args: HelperEvents[K]): boolean;
}

/**
 * A running helper process. Create it with `spawn()`.
 *
 * 'error' is emitted (only when someone listens) when the helper exits
 * unexpectedly; the same error rejects the waiting calls and ends frame
 * iterators.
 */
export class Helper extends EventEmitter {
  /** The helper's version, from its start-up lines. */
  version = '';
  /** The lines written before the helper was ready. */
  readonly startupLines: string[] = [];
  /** Recent stderr lines, oldest first (bounded). */
  readonly history: LineRecord[] = [];
  /** Gaps of the current audio streams; see Timeline.timeOf. */
  readonly timeline = new Timeline();
  /** Resolves when the process has ended (never rejects). */
  readonly exited: Promise<ExitInfo>;
  readonly pid: number | undefined;

  private readonly tracker = new CallTracker();
  private readonly iterators = new Set<FrameQueue>();
  private readonly historySize: number;
  private exitInfo: ExitInfo | undefined;
  private expectExit = false;
  private paused = false;
  private held: string[] | null = null;

  /** @internal use spawn() */
  constructor(private readonly child: ChildProcess, historySize: number) {
    super();
    this.pid = child.pid;
    this.historySize = historySize;
    const lines = new LineSplitter((l) => (this.held ? this.held.push(l) : this.handleLine(l)));
    const frames = new FrameParser(
      (f) => this.handleFrame(f),
      (n) => this.handleLine(`(library) skipped ${n} bytes of standard output that were no frame`),
    );
    child.stderr?.on('data', (c: Buffer) => lines.push(c));
    child.stderr?.on('end', () => lines.end());
    child.stdout?.on('data', (c: Buffer) => frames.push(c));
    child.stdin?.on('error', () => {
      /* a closed pipe shows as the exit */
    });
    this.exited = new Promise((resolve) => {
      child.once('close', (code: number | null, signal: NodeJS.Signals | null) => {
        this.exitInfo = { code, signal, expected: this.expectExit };
        this.onExit(this.exitInfo);
        resolve(this.exitInfo);
      });
    });
  }

  /** True until the process has ended. */
  get running(): boolean {
    return this.exitInfo === undefined;
  }

  /** The last n stderr lines as one text. */
  stderrTail(n = 20): string {
    return this.history
      .slice(-n)
      .map((l) => l.text)
      .join('\n');
  }

  // -------------------------------------------------------------------------
  // Input

  /**
   * @internal Lines read with the start-up lines are held until the caller
   * of spawn() has had its turn to add listeners.
   */
  holdLines(): void {
    this.held = [];
    setImmediate(() => {
      const held = this.held ?? [];
      this.held = null;
      for (const l of held) this.handleLine(l);
    });
  }

  private handleLine(text: string): void {
    this.history.push({ at: Date.now(), text: text.length > HISTORY_LINE_CHARS ? `${text.slice(0, HISTORY_LINE_CHARS)}... (${text.length} chars)` : text });
    if (this.history.length > this.historySize) this.history.splice(0, this.history.length - this.historySize);
    if (!this.version) this.startupLines.push(text);

    const parsed = parseLine(text);
    this.emit('line', parsed);
    if (isAnswerLine(text)) {
      if (text === 'CMD_RESPONSE:STOPPED:ok') this.expectExit = true;
      if (!this.tracker.onAnswer(text) && parsed.kind === 'answer') this.emit('answer', text);
    } else {
      this.tracker.onOtherLine(text);
    }
    switch (parsed.kind) {
      case 'gap':
        this.timeline.addGap(parsed.gap);
        this.emit('gap', parsed.gap);
        break;
      case 'micEvent':
        this.emit('micEvent', parsed.event);
        break;
      case 'micApp':
        this.emit('micApp', parsed.record);
        break;
      case 'deviceDiagnostic':
        this.emit('deviceDiagnostic', parsed.record);
        break;
      case 'runningMicsSample':
        this.emit('runningMicsSample', parsed.record);
        break;
      case 'recovery':
        this.emit('recovery', parsed.event);
        break;
      case 'videoStreamError':
        this.emit('videoStreamError', parsed.message);
        break;
      case 'systemAudio':
        this.emit('systemAudio', parsed.event);
        break;
      case 'event':
        this.emit('event', parsed.name, parsed.detail);
        break;
      case 'record':
        this.emit('record', parsed.tag, parsed.data);
        break;
      case 'log':
        this.emit('log', text);
        break;
      default:
    }
  }

  private handleFrame(frame: Frame): void {
    if (frame.kind === 'audio') this.emit('audio', frame);
    else this.emit('video', frame);
    for (const q of this.iterators) q.offer(frame);
    if (!this.paused && [...this.iterators].some((q) => q.full)) {
      this.paused = true;
      this.child.stdout?.pause();
    }
  }

  /** @internal a consumer took a frame */
  frameTaken(): void {
    if (this.paused && [...this.iterators].every((q) => !q.full && (q.overflow !== 'pause' || q.lowWater))) {
      this.paused = false;
      this.child.stdout?.resume();
    }
  }

  /** @internal an iterator was left */
  detach(q: FrameQueue): void {
    this.iterators.delete(q);
    this.frameTaken();
  }

  private onExit(info: ExitInfo): void {
    const how = info.signal ? `signal ${info.signal}` : `status ${info.code}`;
    const tail = this.stderrTail();
    const error = new OstrovaneError('exited', `helper exited (${how}); last lines of stderr:\n${tail}`);
    this.tracker.failAll((c) => new OstrovaneError('exited', `helper exited (${how}) before answering; last lines of stderr:\n${tail}`, c.line));
    for (const q of this.iterators) q.finish(info.expected ? undefined : error);
    this.iterators.clear();
    if (!info.expected && this.listenerCount('error') > 0) this.emit('error', error);
    this.emit('exit', info);
  }

  // -------------------------------------------------------------------------
  // Commands

  /**
   * Sends one command and waits for the answer that belongs to it. The typed
   * methods below are built on it; it resolves with the answer's text after
   * its tag.
   */
  call(command: CommandName, argument?: string, options: CallOptions = {}): Promise<CallAnswer> {
    const line = argument === undefined ? command : `${command}:${argument}`;
    return new Promise((resolve, reject) => {
      if (/[\r\n]/.test(line)) {
        reject(new OstrovaneError('bad_argument', 'a command line cannot contain a line break', line));
        return;
      }
      if (Buffer.byteLength(line) + 1 > MAX_COMMAND_LINE) {
        reject(new OstrovaneError('too_long', 'the helper ignores lines over 1 MiB', line.slice(0, 80)));
        return;
      }
      if (!this.running || !this.child.stdin || this.child.stdin.destroyed) {
        reject(new OstrovaneError('exited', `the helper is not running; last lines of stderr:\n${this.stderrTail()}`, line));
        return;
      }
      let timer: NodeJS.Timeout | undefined;
      const call = this.tracker.add(
        command,
        line,
        (a) => {
          clearTimeout(timer);
          resolve(a);
        },
        (e) => {
          clearTimeout(timer);
          reject(e);
        },
      );
      if ((command === 'START_STREAMING' || command === 'TEST_WAV') && !call.streamMayExist) this.timeline.reset();
      const timeoutMs = options.timeoutMs ?? COMMANDS[command].timeoutMs;
      timer = setTimeout(() => call.reject(new OstrovaneError('timeout', `no answer within ${timeoutMs} ms`, line)), timeoutMs);
      if (command === 'STOP') this.expectExit = true;
      this.child.stdin.write(`${line}\n`);
    });
  }

  private async json<T>(command: CommandName, argument: string | undefined, options?: CallOptions): Promise<T> {
    const a = await this.call(command, argument, options);
    try {
      return JSON.parse(a.value) as T;
    } catch {
      throw new OstrovaneError('bad_answer', a.value.slice(0, 200), command);
    }
  }

  /** Starts microphone and system-audio streaming. Rejects `already_active`, the helper's failure reason, or `cancelled` (a stopStreaming() sent before the start was decided). */
  async startStreaming(options?: CallOptions): Promise<void> {
    await this.call('START_STREAMING', undefined, options);
  }

  async stopStreaming(options?: CallOptions): Promise<void> {
    await this.call('STOP_STREAMING', undefined, options);
  }

  async startMicMonitoring(options?: CallOptions): Promise<'started' | 'already_active'> {
    return (await this.call('START_MIC_MONITORING', undefined, options)).value as 'started' | 'already_active';
  }

  async stopMicMonitoring(options?: CallOptions): Promise<'stopped' | 'not_active'> {
    return (await this.call('STOP_MIC_MONITORING', undefined, options)).value as 'stopped' | 'not_active';
  }

  listDevices(options?: CallOptions): Promise<MicDevice[]> {
    return this.json<MicDevice[]>('LIST_DEVICES', undefined, options);
  }

  /** The default microphone's name, or null when there is none. */
  async currentMic(options?: CallOptions): Promise<string | null> {
    const name = (await this.call('GET_CURRENT_MIC', undefined, options)).value;
    return name === 'No default microphone found' ? null : name;
  }

  /** Displays and windows (LIST_WINDOWS), thumbnails decoded to PNG bytes. */
  async listTargets(options?: CallOptions): Promise<CaptureTarget[]> {
    const raw = await this.json<Array<Record<string, unknown>>>('LIST_WINDOWS', undefined, options);
    return raw.map((t) => {
      const { thumbnail, ...rest } = t;
      const target = rest as unknown as CaptureTarget;
      if (typeof thumbnail === 'string') {
        const comma = thumbnail.indexOf(',');
        target.thumbnail = Buffer.from(comma >= 0 ? thumbnail.slice(comma + 1) : thumbnail, 'base64');
      }
      return target;
    });
  }

  async startVideo(video: VideoOptions = {}, options?: CallOptions): Promise<void> {
    await this.call('START_VIDEO', JSON.stringify(video), options);
  }

  async switchVideo(target: { type: 'display' | 'window'; id: number }, options?: CallOptions): Promise<void> {
    await this.call('SWITCH_VIDEO', JSON.stringify(target), options);
  }

  async stopVideo(options?: CallOptions): Promise<'stopped' | 'not_active'> {
    return (await this.call('STOP_VIDEO', undefined, options)).value as 'stopped' | 'not_active';
  }

  /** The latest captured image as PNG, at most maxWidth wide (0: full size). Rejects `no_capture` or `no_frame`. */
  async snapshot(maxWidth = 320, options?: CallOptions): Promise<Buffer> {
    return Buffer.from((await this.call('SNAPSHOT_NOW', String(maxWidth), options)).value, 'base64');
  }

  /** A PNG of the main display. A failure (only a log line from the helper) rejects `screenshot_failed`. */
  async screenshot(options?: CallOptions): Promise<Buffer> {
    return Buffer.from((await this.call('SCREENSHOT', undefined, options)).value, 'base64');
  }

  /** Measures the microphones in use; resolves with the RUNNING_MICS_SAMPLE record. */
  sampleRunningMics(reason = 'requested', options?: CallOptions): Promise<RunningMicsSampleRecord> {
    return this.json<RunningMicsSampleRecord>('SAMPLE_RUNNING_MICS', reason, options);
  }

  /** Asks for a DEVICE_DIAGNOSTIC record; null when the microphone does not stream. */
  async deviceDiagnostic(reason = 'requested', options?: CallOptions): Promise<DeviceDiagnosticRecord | null> {
    const a = await this.call('GET_DEVICE_DIAGNOSTIC', reason, options);
    const records = a.collected
      .map((t) => {
        try {
          return JSON.parse(t) as DeviceDiagnosticRecord;
        } catch {
          return undefined;
        }
      })
      .filter((r): r is DeviceDiagnosticRecord => r !== undefined);
    return records.reverse().find((r) => r.reason === reason) ?? records[0] ?? null;
  }

  /** Streams a WAV file in a loop as both audio streams; resolves with the helper's path. */
  async testWav(file: string, options?: CallOptions): Promise<string> {
    return (await this.call('TEST_WAV', file, options)).value;
  }

  async testMicTap(options?: CallOptions): Promise<MicTapResult> {
    const text = (await this.call('TEST_MIC_TAP', undefined, options)).value;
    const m = /taps=(\d+)\s+frames=(\d+)\s+avgRMS=([0-9.eE+-]+)/.exec(text);
    if (!m) throw new OstrovaneError('bad_answer', text, 'TEST_MIC_TAP');
    return { taps: Number(m[1]), frames: Number(m[2]), avgRMS: Number(m[3]) };
  }

  async health(options?: CallOptions): Promise<HealthResult> {
    const text = (await this.call('HEALTH_CHECK', undefined, options)).value;
    const seconds = Number(text);
    if (!Number.isFinite(seconds)) throw new OstrovaneError('bad_answer', text, 'HEALTH_CHECK');
    return { seconds, time: new Date(seconds * 1000) };
  }

  /** Sends STOP; the helper answers and exits about 100 ms later. */
  async stop(options?: CallOptions): Promise<void> {
    await this.call('STOP', undefined, options);
  }

  /**
   * Ends the helper: STOP, then waits up to timeoutMs for the exit, then
   * kills it. Resolves with how it ended.
   */
  async close(timeoutMs = 3000): Promise<ExitInfo> {
    if (this.exitInfo) return this.exitInfo;
    this.expectExit = true;
    const bound = new Promise<'late'>((r) => setTimeout(() => r('late'), timeoutMs).unref());
    this.stop({ timeoutMs }).catch(() => {});
    this.child.stdin?.end();
    if ((await Promise.race([this.exited, bound])) === 'late') this.kill();
    return this.exited;
  }

  /** Kills the process at once (SIGKILL by default). */
  kill(signal: NodeJS.Signals = 'SIGKILL'): void {
    this.expectExit = true;
    if (this.running) this.child.kill(signal);
  }

  // -------------------------------------------------------------------------
  // Frames and recordings

  /** Audio and video frames as they arrive, with bounded buffering (see FrameIteratorOptions). */
  frames(options: FrameIteratorOptions = {}): FrameIterator {
    const q = new FrameQueue(this, Math.max(1, options.maxBuffered ?? 1000), options.overflow ?? 'pause', options.audio ?? true, options.video ?? true);
    if (this.running) this.iterators.add(q);
    else q.finish();
    return q;
  }

  /** Writes one audio stream to a WAV file until close(). */
  recordWav(stream: 'mic' | 'system', file: string, options?: WavWriterOptions): Recording<WavStats> {
    const writer = new WavWriter(file, options);
    const onAudio = (f: AudioFrame) => {
      if (f.stream === stream) writer.write(f);
    };
    const onGap = (g: AudioGap) => {
      if (g.stream === stream) writer.addGap(g);
    };
    this.on('audio', onAudio);
    this.on('gap', onGap);
    return {
      close: () => {
        this.off('audio', onAudio);
        this.off('gap', onGap);
        return writer.close();
      },
    };
  }

  /** Writes the video frames to a raw H.264 file until close(). */
  recordH264(file: string): Recording<H264Stats> {
    const writer = new H264Writer(file);
    const onVideo = (f: VideoFrame) => writer.write(f);
    this.on('video', onVideo);
    return {
      close: () => {
        this.off('video', onVideo);
        return writer.close();
      },
    };
  }
}

/**
 * Starts the helper and resolves once it is ready (its start-up lines up to
 * `Ostrovane version <x.y.z>` have been read).
 */
export function spawn(options: SpawnOptions = {}): Promise<Helper> {
  return new Promise((resolve, reject) => {
    let binary: string;
    try {
      binary = resolveBinary(options.binary);
    } catch (e) {
      reject(e);
      return;
    }
    const env: NodeJS.ProcessEnv = { ...process.env };
    for (const [k, v] of Object.entries(options.env ?? {})) {
      if (v === undefined) delete env[k];
      else env[k] = v;
    }
    // A script helper (such as the fake) runs under this Node, executable bit or not.
    const [command, args] = binary.endsWith('.js') ? [process.execPath, [binary]] : [binary, []];
    const child = spawnChild(command, args, { stdio: ['pipe', 'pipe', 'pipe'], env, cwd: options.cwd });
    track(child);
    const helper = new Helper(child, Math.max(10, options.historySize ?? 500));
    let ready = false;
    let done = false;
    const finish = (err?: OstrovaneError) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      helper.off('line', onLine);
      if (err) {
        helper.kill();
        reject(err);
      } else {
        helper.holdLines();
        resolve(helper);
      }
    };
    const onLine = (l: ParsedLine) => {
      if (l.text === READY_LINE) ready = true;
      const m = VERSION_RE.exec(l.text);
      if (m) helper.version = m[1];
      if (ready && helper.version) finish();
    };
    helper.on('line', onLine);
    child.once('error', (e: NodeJS.ErrnoException) => {
      finish(new OstrovaneError(e.code === 'ENOENT' ? 'not_found' : 'spawn_failed', `${binary}: ${e.message}`));
    });
    helper.exited.then((info) => {
      const how = info.signal ? `signal ${info.signal}` : `status ${info.code}`;
      finish(new OstrovaneError('exited', `helper exited during start-up (${how}); last lines of stderr:\n${helper.stderrTail()}`));
    });
    const timeoutMs = options.startupTimeoutMs ?? 15_000;
    const timer = setTimeout(
      () => finish(new OstrovaneError('timeout', `not ready within ${timeoutMs} ms; last lines of stderr:\n${helper.stderrTail()}`)),
      timeoutMs,
    );
  });
}
