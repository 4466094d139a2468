import * as fs from 'fs';
import type { AudioFrame, VideoFrame } from './frames';
import type { AudioGap } from './protocol';
import { FRAME_MS } from './timeline';

const RATE = 48000;
const CHANNELS = 2;
const BYTES_PER_SAMPLE_FRAME = 4;
const WAV_HEADER = 44;

export interface WavWriterOptions {
  /**
   * Write silence where audio is missing: for AUDIO_GAP events and for
   * frames lost on the way (sequence numbers skipped). Default false.
   */
  fillGaps?: boolean;
  /**
   * Frames held back before they are written, so that gap lines arriving a
   * little after the frames they precede still land in place (default 50 = 1 s).
   */
  holdFrames?: number;
}

export interface WavStats {
  path: string;
  frames: number;
  /** Milliseconds of silence written in place of missing audio. */
  silenceMs: number;
  /** Audio data bytes in the file. */
  bytes: number;
}

function wavHeader(dataBytes: number): Buffer {
  const h = Buffer.alloc(WAV_HEADER);
  h.write('RIFF', 0, 'ascii');
  h.writeUInt32LE(Math.min(0xffffffff, 36 + dataBytes), 4);
  h.write('WAVE', 8, 'ascii');
  h.write('fmt ', 12, 'ascii');
  h.writeUInt32LE(16, 16);
  h.writeUInt16LE(1, 20); // PCM
  h.writeUInt16LE(CHANNELS, 22);
  h.writeUInt32LE(RATE, 24);
  h.writeUInt32LE(RATE * BYTES_PER_SAMPLE_FRAME, 28);
  h.writeUInt16LE(BYTES_PER_SAMPLE_FRAME, 32);
  h.writeUInt16LE(16, 34);
  h.write('data', 36, 'ascii');
  h.writeUInt32LE(Math.min(0xffffffff - 36, dataBytes), 40);
  return h;
}

/** Writes one audio stream as a 48 kHz, 2-channel, 16-bit WAV file. */
export class WavWriter {
  readonly path: string;
  private fd: number;
  private readonly fillGaps: boolean;
  private readonly holdFrames: number;
  private held: AudioFrame[] = [];
  private gaps: AudioGap[] = [];
  private nextSequence: number | undefined;
  private bytes = 0;
  private frames = 0;
  private silenceMs = 0;
  private closed = false;

  constructor(path: string, options: WavWriterOptions = {}) {
    this.path = path;
    this.fillGaps = options.fillGaps ?? false;
    this.holdFrames = this.fillGaps ? Math.max(0, options.holdFrames ?? 50) : 0;
    this.fd = fs.openSync(path, 'w');
    fs.writeSync(this.fd, wavHeader(0));
  }

  write(frame: AudioFrame): void {
    if (this.closed) return;
    this.held.push(frame);
    while (this.held.length > this.holdFrames) this.writeFrame(this.held.shift() as AudioFrame);
  }

  /** Tells the writer about missing audio (only used with fillGaps). */
  addGap(gap: AudioGap): void {
    if (this.closed || !this.fillGaps) return;
    if (this.nextSequence !== undefined && gap.sequence < this.nextSequence) {
      // Too late to place: keep the file's length right at least.
      this.writeSilence(gap.durationMs);
      return;
    }
    this.gaps.push(gap);
  }

  private writeFrame(frame: AudioFrame): void {
    if (this.fillGaps) {
      for (const g of this.gaps.filter((x) => x.sequence <= frame.sequence)) this.writeSilence(g.durationMs);
      this.gaps = this.gaps.filter((x) => x.sequence > frame.sequence);
      if (this.nextSequence !== undefined && frame.sequence > this.nextSequence) {
        this.writeSilence((frame.sequence - this.nextSequence) * FRAME_MS);
      }
    }
    this.nextSequence = frame.sequence + 1;
    this.append(frame.pcm);
    this.frames++;
  }

  private writeSilence(ms: number): void {
    if (ms <= 0) return;
    this.append(Buffer.alloc(Math.round((ms * RATE) / 1000) * BYTES_PER_SAMPLE_FRAME));
    this.silenceMs += ms;
  }

  private append(b: Buffer): void {
    fs.writeSync(this.fd, b);
    this.bytes += b.length;
  }

  /** Writes what is held, fixes the header and closes the file. */
  close(): WavStats {
    if (!this.closed) {
      for (const f of this.held) this.writeFrame(f);
      this.held = [];
      fs.writeSync(this.fd, wavHeader(this.bytes), 0, WAV_HEADER, 0);
      fs.closeSync(this.fd);
      this.closed = true;
    }
    return { path: this.path, frames: this.frames, silenceMs: this.silenceMs, bytes: this.bytes };
  }
}

export interface H264Stats {
  path: string;
  frames: number;
  keyframes: number;
  bytes: number;
}

/**
 * Writes video frames as a raw H.264 Annex B stream (the payloads one after
 * another), from the first keyframe on; ffmpeg and ffprobe read it as `-f h264`.
 */
export class H264Writer {
  readonly path: string;
  private fd: number;
  private started = false;
  private frames = 0;
  private keyframes = 0;
  private bytes = 0;
  private closed = false;

  constructor(path: string) {
    this.path = path;
    this.fd = fs.openSync(path, 'w');
  }

  write(frame: VideoFrame): void {
    if (this.closed) return;
    if (!this.started && !frame.keyframe) return;
    this.started = true;
    fs.writeSync(this.fd, frame.data);
    this.frames++;
    if (frame.keyframe) this.keyframes++;
    this.bytes += frame.data.length;
  }

  close(): H264Stats {
    if (!this.closed) {
      fs.closeSync(this.fd);
      this.closed = true;
    }
    return { path: this.path, frames: this.frames, keyframes: this.keyframes, bytes: this.bytes };
  }
}
