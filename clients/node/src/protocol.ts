/**
 * What the helper says on standard error, and which answer belongs to which
 * command. The answer table below is the only place that knows the helper's
 * answer tags.
 */

export type CommandName =
  | 'START_STREAMING'
  | 'STOP_STREAMING'
  | 'START_MIC_MONITORING'
  | 'STOP_MIC_MONITORING'
  | 'STOP'
  | 'SCREENSHOT'
  | 'LIST_DEVICES'
  | 'GET_CURRENT_MIC'
  | 'HEALTH_CHECK'
  | 'TEST_WAV'
  | 'TEST_MIC_TAP'
  | 'GET_DEVICE_DIAGNOSTIC'
  | 'SAMPLE_RUNNING_MICS'
  | 'LIST_WINDOWS'
  | 'SNAPSHOT_NOW'
  | 'START_VIDEO'
  | 'STOP_VIDEO'
  | 'SWITCH_VIDEO';

/**
 * How one answer line settles its call.
 * - `ok`: resolves with the text after the prefix;
 * - `error`: rejects, the reason taken from the text after the prefix;
 * - `reject`: rejects with the fixed reason given in `reason`;
 * - `ack`: the command was taken; its result comes later (a `late` rule).
 */
export interface AnswerRule {
  prefix: string;
  /** The line must equal the prefix. */
  exact?: boolean;
  outcome: 'ok' | 'error' | 'reject' | 'ack';
  reason?: string;
  /**
   * Written by a service on its own, possibly after later commands were
   * answered; it belongs to the earliest call of this command still waiting
   * for one.
   */
  late?: boolean;
  /**
   * Only a call sent while a stream may already exist can get this answer
   * (START_STREAMING's `already_active`).
   */
  needsStream?: boolean;
}

export interface CommandEntry {
  answers: AnswerRule[];
  /** Default time a call waits for its answer. */
  timeoutMs: number;
  /**
   * The command may write nothing in command order: its answer is all
   * `late` (START_STREAMING once capture has to be decided).
   */
  mayDefer?: boolean;
  /** The command fails with a log line beginning so, and no answer. */
  failureLog?: { prefix: string; reason: string };
  /** Records with this prefix written while the call runs belong to it. */
  collects?: string;
  /** This answer (to a later command) cancels a call still waiting. */
  cancelledBy?: string;
}

const R = 'CMD_RESPONSE:';

/** Command -> answers. Rules are tried in order; specific ones come first. */
export const COMMANDS: Readonly<Record<CommandName, CommandEntry>> = {
  START_STREAMING: {
    answers: [
      { prefix: `${R}STREAMING:already_active`, exact: true, outcome: 'reject', reason: 'already_active', needsStream: true },
      { prefix: `${R}STREAMING:started`, exact: true, outcome: 'ok', late: true },
      { prefix: `${R}STREAMING:failed:`, outcome: 'error', late: true },
    ],
    timeoutMs: 20_000,
    mayDefer: true,
    cancelledBy: `${R}STREAMING:stopped`,
  },
  STOP_STREAMING: { answers: [{ prefix: `${R}STREAMING:stopped`, exact: true, outcome: 'ok' }], timeoutMs: 10_000 },
  START_MIC_MONITORING: {
    answers: [
      { prefix: `${R}MIC_MONITORING:started`, exact: true, outcome: 'ok' },
      { prefix: `${R}MIC_MONITORING:already_active`, exact: true, outcome: 'ok' },
    ],
    timeoutMs: 10_000,
  },
  STOP_MIC_MONITORING: {
    answers: [
      { prefix: `${R}MIC_MONITORING:stopped`, exact: true, outcome: 'ok' },
      { prefix: `${R}MIC_MONITORING:not_active`, exact: true, outcome: 'ok' },
    ],
    timeoutMs: 10_000,
  },
  STOP: { answers: [{ prefix: `${R}STOPPED:`, outcome: 'ok' }], timeoutMs: 10_000 },
  SCREENSHOT: {
    answers: [{ prefix: `${R}SCREENSHOT_DATA:`, outcome: 'ok' }],
    timeoutMs: 30_000,
    failureLog: { prefix: 'ERROR:', reason: 'screenshot_failed' },
  },
  LIST_DEVICES: { answers: [{ prefix: `${R}DEVICES_LIST:`, outcome: 'ok' }], timeoutMs: 10_000 },
  GET_CURRENT_MIC: { answers: [{ prefix: `${R}CURRENT_MIC:`, outcome: 'ok' }], timeoutMs: 10_000 },
  HEALTH_CHECK: { answers: [{ prefix: `${R}HEALTH_OK:`, outcome: 'ok' }], timeoutMs: 10_000 },
  TEST_WAV: {
    answers: [
      { prefix: `${R}TEST_WAV:started:`, outcome: 'ok' },
      { prefix: `${R}TEST_WAV:error:`, outcome: 'error' },
    ],
    timeoutMs: 15_000,
  },
  TEST_MIC_TAP: {
    answers: [
      { prefix: `${R}TEST_MIC_TAP:ok:`, outcome: 'ok' },
      { prefix: `${R}TEST_MIC_TAP:error:`, outcome: 'error' },
    ],
    timeoutMs: 10_000,
  },
  GET_DEVICE_DIAGNOSTIC: {
    answers: [{ prefix: 'EVENT:DEVICE_DIAGNOSTIC_REQUESTED', exact: true, outcome: 'ok' }],
    timeoutMs: 10_000,
    collects: 'DEVICE_DIAGNOSTIC:',
  },
  SAMPLE_RUNNING_MICS: {
    answers: [
      { prefix: 'EVENT:RUNNING_MICS_SAMPLE_STARTED', exact: true, outcome: 'ack' },
      { prefix: 'RUNNING_MICS_SAMPLE:', outcome: 'ok', late: true },
    ],
    timeoutMs: 15_000,
  },
  LIST_WINDOWS: { answers: [{ prefix: `${R}LIST_WINDOWS:`, outcome: 'ok' }], timeoutMs: 20_000 },
  SNAPSHOT_NOW: {
    answers: [
      { prefix: `${R}SNAPSHOT_NOW:error:`, outcome: 'error' },
      { prefix: `${R}SNAPSHOT_NOW:`, outcome: 'ok' },
    ],
    timeoutMs: 15_000,
  },
  START_VIDEO: {
    answers: [
      { prefix: `${R}START_VIDEO:started`, exact: true, outcome: 'ok' },
      { prefix: `${R}START_VIDEO:error:`, outcome: 'error' },
    ],
    // The desktop may ask the user first and answer up to 25 s later.
    timeoutMs: 40_000,
  },
  STOP_VIDEO: {
    answers: [
      { prefix: `${R}STOP_VIDEO:stopped`, exact: true, outcome: 'ok' },
      { prefix: `${R}STOP_VIDEO:not_active`, exact: true, outcome: 'ok' },
    ],
    timeoutMs: 10_000,
  },
  SWITCH_VIDEO: {
    answers: [
      { prefix: `${R}SWITCH_VIDEO:switched`, exact: true, outcome: 'ok' },
      { prefix: `${R}SWITCH_VIDEO:error:`, outcome: 'error' },
    ],
    timeoutMs: 40_000,
  },
};

export function ruleMatches(rule: AnswerRule, line: string): boolean {
  return rule.exact ? line === rule.prefix : line.startsWith(rule.prefix);
}

const ANSWER_RULES = Object.values(COMMANDS).flatMap((entry) => entry.answers);

/** Lines that may answer a command (in command order or late). */
export function isAnswerLine(line: string): boolean {
  return line.startsWith(R) || ANSWER_RULES.some((rule) => ruleMatches(rule, line));
}

// ---------------------------------------------------------------------------
// Typed lines

export interface AudioGap {
  stream: 'mic' | 'system';
  /** Sequence number of the first frame after the gap. */
  sequence: number;
  durationMs: number;
  /** `output_too_slow`, `source_silent`, `late_start`, or another word. */
  reason: string;
  /** Wall-clock seconds since 1970. */
  timestamp: number;
}

export interface MicEvent {
  deviceId: string;
  deviceName: string;
  state: 'active' | 'inactive' | 'device_changed' | string;
  timestamp: number;
  [key: string]: unknown;
}

export interface MicAppRecord {
  /** Which record: MIC_APP_EVENT, MIC_APP_STOP_EVENT, MIC_APP_SNAPSHOT or MIC_APP_ERROR. */
  kind: 'event' | 'stop' | 'snapshot' | 'error';
  tag: string;
  data: Record<string, unknown>;
}

export interface RecoveryEvent {
  kind: 'attempt' | 'success' | 'failed';
  /** Text after the tag (empty for RECOVERY_SUCCESS). */
  detail: string;
}

export interface SystemAudioEvent {
  kind: 'start_failed' | 'stream_error' | 'recovery_scheduled' | 'contention' | 'contention_resolved' | 'contention_exhausted' | string;
  detail: string;
}

export interface RunningMicSample {
  id: string;
  name: string;
  rms: number;
  peakRms: number;
  framesCaptured: number;
  sampleDurationMs: number;
  error?: string;
}

export interface RunningMicsSampleRecord {
  event: string;
  reason: string;
  samples: RunningMicSample[];
  totalDurationMs: number;
  selectedDeviceId?: string;
  [key: string]: unknown;
}

export type DeviceDiagnosticRecord = Record<string, unknown>;

export type ParsedLine =
  | { kind: 'answer'; text: string }
  | { kind: 'gap'; text: string; gap: AudioGap }
  | { kind: 'micEvent'; text: string; event: MicEvent }
  | { kind: 'micApp'; text: string; record: MicAppRecord }
  | { kind: 'deviceDiagnostic'; text: string; record: DeviceDiagnosticRecord }
  | { kind: 'runningMicsSample'; text: string; record: RunningMicsSampleRecord }
  | { kind: 'recovery'; text: string; event: RecoveryEvent }
  | { kind: 'videoStreamError'; text: string; message: string }
  | { kind: 'systemAudio'; text: string; event: SystemAudioEvent }
  | { kind: 'event'; text: string; name: string; detail: string }
  | { kind: 'record'; text: string; tag: string; data: Record<string, unknown> }
  | { kind: 'log'; text: string };

const MIC_APP: Record<string, MicAppRecord['kind']> = {
  MIC_APP_EVENT: 'event',
  MIC_APP_STOP_EVENT: 'stop',
  MIC_APP_SNAPSHOT: 'snapshot',
  MIC_APP_ERROR: 'error',
};

function jsonObject(text: string): Record<string, unknown> | undefined {
  try {
    const v: unknown = JSON.parse(text);
    return v !== null && typeof v === 'object' && !Array.isArray(v) ? (v as Record<string, unknown>) : undefined;
  } catch {
    return undefined;
  }
}

function splitTag(s: string): [string, string] {
  const i = s.indexOf(':');
  return i < 0 ? [s, ''] : [s.slice(0, i), s.slice(i + 1)];
}

/** Classifies one standard-error line (without its line feed). */
export function parseLine(text: string): ParsedLine {
  if (text.startsWith(R)) return { kind: 'answer', text };

  // Microphone recovery lines come with or without the EVENT: prefix.
  const body = text.startsWith('EVENT:RECOVERY_') ? text.slice(6) : text;
  if (body === 'RECOVERY_SUCCESS' || body.startsWith('RECOVERY_SUCCESS:')) {
    return { kind: 'recovery', text, event: { kind: 'success', detail: body.slice(17) } };
  }
  if (body.startsWith('RECOVERY_ATTEMPT:') || body === 'RECOVERY_ATTEMPT') {
    return { kind: 'recovery', text, event: { kind: 'attempt', detail: body.slice(17) } };
  }
  if (body.startsWith('RECOVERY_FAILED:') || body === 'RECOVERY_FAILED') {
    return { kind: 'recovery', text, event: { kind: 'failed', detail: body.slice(16) } };
  }

  if (text.startsWith('EVENT:')) {
    const [name, detail] = splitTag(text.slice(6));
    if (name === 'AUDIO_GAP') {
      const o = jsonObject(detail);
      if (o && (o.stream === 'mic' || o.stream === 'system') && typeof o.sequence === 'number' && typeof o.durationMs === 'number') {
        const gap: AudioGap = {
          stream: o.stream,
          sequence: o.sequence,
          durationMs: o.durationMs,
          reason: typeof o.reason === 'string' ? o.reason : 'unknown',
          timestamp: typeof o.timestamp === 'number' ? o.timestamp : 0,
        };
        return { kind: 'gap', text, gap };
      }
      return { kind: 'event', text, name, detail };
    }
    if (name === 'VIDEO_STREAM_ERROR') return { kind: 'videoStreamError', text, message: detail };
    if (name.startsWith('SYSTEM_AUDIO_')) {
      return { kind: 'systemAudio', text, event: { kind: name.slice(13).toLowerCase(), detail } };
    }
    return { kind: 'event', text, name, detail };
  }

  const m = /^([A-Z][A-Z0-9_]*):(\{.*)$/s.exec(text);
  if (m) {
    const data = jsonObject(m[2]);
    if (data) {
      const tag = m[1];
      if (tag === 'MIC_EVENT') return { kind: 'micEvent', text, event: data as MicEvent };
      if (tag in MIC_APP) return { kind: 'micApp', text, record: { kind: MIC_APP[tag], tag, data } };
      if (tag === 'DEVICE_DIAGNOSTIC') return { kind: 'deviceDiagnostic', text, record: data };
      if (tag === 'RUNNING_MICS_SAMPLE') return { kind: 'runningMicsSample', text, record: data as RunningMicsSampleRecord };
      return { kind: 'record', text, tag, data };
    }
  }
  return { kind: 'log', text };
}
