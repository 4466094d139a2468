import { parseSpsFromAnnexB } from './sps';

/** One 20 ms block of 48 kHz stereo s16le audio. */
export interface AudioFrame {
  kind: 'audio';
  stream: 'mic' | 'system';
  /** Interleaved signed 16-bit little-endian PCM (3840 bytes for 20 ms). */
  pcm: Buffer;
  /** Counts from 0 per stream start, wraps at 2^32. */
  sequence: number;
  /** RMS of the frame on 0...1 (the header's 0...65535 divided by 65535). */
  level: number;
  sampleRate: number;
  channels: number;
  bitsPerSample: number;
}

/** One encoded H.264 picture (Annex B, 4-byte start codes). */
export interface VideoFrame {
  kind: 'video';
  data: Buffer;
  keyframe: boolean;
  /** Presentation time in microseconds since the first image of the capture. */
  pts: number;
  sequence: number;
  /** The size START_VIDEO asked for (the header's values), not the picture's. */
  width: number;
  height: number;
  fps: number;
  /** The encoded picture's size, read from the SPS of the latest keyframe. */
  decodedWidth: number | undefined;
  decodedHeight: number | undefined;
}

export type Frame = AudioFrame | VideoFrame;

const MAGIC = 0x444c5041; // "APLD" read little-endian
const AUDIO_HEADER = 24;
const VIDEO_HEADER = 32;
/** Larger payloads are taken as a corrupt header and resynchronised past. */
const MAX_PAYLOAD = 256 * 1024 * 1024;

/**
 * Incremental parser for the helper's standard output. Chunks may split
 * frames at any byte; each complete frame is passed to `onFrame` once.
 * Bytes that do not start a frame are skipped up to the next magic and
 * reported through `onSkip`.
 */
export class FrameParser {
  private header = Buffer.alloc(VIDEO_HEADER);
  private headerLen = 0;
  private payload: Buffer | null = null;
  private payloadLen = 0;
  private decoded: { width: number; height: number } | undefined;

  constructor(
    private readonly onFrame: (frame: Frame) => void,
    private readonly onSkip: (bytes: number) => void = () => {},
  ) {}

  push(chunk: Buffer): void {
    let pos = 0;
    while (pos < chunk.length) {
      if (this.payload) {
        const n = Math.min(this.payload.length - this.payloadLen, chunk.length - pos);
        chunk.copy(this.payload, this.payloadLen, pos, pos + n);
        this.payloadLen += n;
        pos += n;
        if (this.payloadLen === this.payload.length) this.finishFrame();
        continue;
      }
      const need = this.headerNeed();
      const n = Math.min(need - this.headerLen, chunk.length - pos);
      chunk.copy(this.header, this.headerLen, pos, pos + n);
      this.headerLen += n;
      pos += n;
      if (this.headerLen >= 4 && this.header.readUInt32LE(0) !== MAGIC) {
        this.resync();
        continue;
      }
      if (this.headerLen === need && need > 5) this.startPayload();
    }
  }

  /** Header size for the bytes seen so far (5 until the version is known). */
  private headerNeed(): number {
    if (this.headerLen < 5) return 5;
    return this.header[4] === 2 ? VIDEO_HEADER : AUDIO_HEADER;
  }

  private resync(): void {
    // Drop bytes until the buffered header could begin with the magic.
    let drop = 1;
    while (drop < this.headerLen) {
      const rest = this.header.subarray(drop, this.headerLen);
      if (Buffer.from('APLD').subarray(0, rest.length).equals(rest.subarray(0, 4))) break;
      drop++;
    }
    this.header.copy(this.header, 0, drop, this.headerLen);
    this.headerLen -= drop;
    this.onSkip(drop);
  }

  private startPayload(): void {
    const version = this.header[4];
    const lenOffset = version === 2 ? 20 : 12;
    const len = this.header.readUInt32LE(lenOffset);
    if ((version !== 1 && version !== 2) || len > MAX_PAYLOAD) {
      this.resync();
      return;
    }
    this.payload = Buffer.allocUnsafe(len);
    this.payloadLen = 0;
    if (len === 0) this.finishFrame();
  }

  private finishFrame(): void {
    const h = this.header;
    const data = this.payload as Buffer;
    this.payload = null;
    this.headerLen = 0;
    if (h[4] === 1) {
      this.onFrame({
        kind: 'audio',
        stream: h[5] === 2 ? 'system' : 'mic',
        pcm: data,
        sequence: h.readUInt32LE(16),
        level: h.readUInt16LE(10) / 65535,
        sampleRate: h.readUInt16LE(6),
        channels: h[8],
        bitsPerSample: h[9],
      });
      return;
    }
    const keyframe = h[11] === 1;
    if (keyframe) {
      const sps = parseSpsFromAnnexB(data);
      if (sps) this.decoded = { width: sps.width, height: sps.height };
    }
    this.onFrame({
      kind: 'video',
      data,
      keyframe,
      pts: Number(h.readBigUInt64LE(12)),
      sequence: h.readUInt32LE(24),
      width: h.readUInt16LE(6),
      height: h.readUInt16LE(8),
      fps: h[10],
      decodedWidth: this.decoded?.width,
      decodedHeight: this.decoded?.height,
    });
  }
}

/** Builds the wire bytes of an audio frame (used by tests and tools). */
export function encodeAudioFrame(stream: 'mic' | 'system', sequence: number, pcm: Buffer, level?: number): Buffer {
  const h = Buffer.alloc(AUDIO_HEADER);
  h.writeUInt32LE(MAGIC, 0);
  h[4] = 1;
  h[5] = stream === 'system' ? 2 : 1;
  h.writeUInt16LE(48000, 6);
  h[8] = 2;
  h[9] = 16;
  h.writeUInt16LE(Math.min(65535, Math.trunc(Math.max(0, level ?? rmsOf(pcm)) * 65535)), 10);
  h.writeUInt32LE(pcm.length, 12);
  h.writeUInt32LE(sequence >>> 0, 16);
  return Buffer.concat([h, pcm]);
}

/** Builds the wire bytes of a video frame. */
export function encodeVideoFrame(f: { data: Buffer; keyframe: boolean; pts: number; sequence: number; width: number; height: number; fps: number }): Buffer {
  const h = Buffer.alloc(VIDEO_HEADER);
  h.writeUInt32LE(MAGIC, 0);
  h[4] = 2;
  h[5] = 3;
  h.writeUInt16LE(f.width, 6);
  h.writeUInt16LE(f.height, 8);
  h[10] = f.fps;
  h[11] = f.keyframe ? 1 : 2;
  h.writeBigUInt64LE(BigInt(f.pts), 12);
  h.writeUInt32LE(f.data.length, 20);
  h.writeUInt32LE(f.sequence >>> 0, 24);
  return Buffer.concat([h, f.data]);
}

/** RMS of s16le samples on 0...1 (full scale 32767). */
export function rmsOf(pcm: Buffer): number {
  const n = Math.floor(pcm.length / 2);
  if (n === 0) return 0;
  let sum = 0;
  for (let i = 0; i < n; i++) {
    const s = pcm.readInt16LE(i * 2);
    sum += s * s;
  }
  return Math.sqrt(sum / n) / 32767;
}
