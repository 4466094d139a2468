import * as path from 'path';

export { spawn, Helper, resolveBinary } from './helper';
export type {
  SpawnOptions,
  CallOptions,
  ExitInfo,
  MicDevice,
  CaptureTarget,
  VideoOptions,
  MicTapResult,
  HealthResult,
  LineRecord,
  FrameIterator,
  FrameIteratorOptions,
  HelperEvents,
  Recording,
} from './helper';
export { OstrovaneError } from './errors';
export { FrameParser, encodeAudioFrame, encodeVideoFrame, rmsOf } from './frames';
export type { AudioFrame, VideoFrame, Frame } from './frames';
export { parseSps, parseSpsFromAnnexB, nalUnits } from './sps';
export type { SpsInfo } from './sps';
export { COMMANDS, parseLine } from './protocol';
export type {
  CommandName,
  CommandEntry,
  AnswerRule,
  ParsedLine,
  AudioGap,
  MicEvent,
  MicAppRecord,
  RecoveryEvent,
  SystemAudioEvent,
  RunningMicsSampleRecord,
  RunningMicSample,
  DeviceDiagnosticRecord,
} from './protocol';
export type { CallAnswer } from './calls';
export { Timeline, FRAME_MS } from './timeline';
export { WavWriter, H264Writer } from './writers';
export type { WavWriterOptions, WavStats, H264Stats } from './writers';

/** Path of the scriptable fake helper shipped with this package. */
export const FAKE_HELPER: string = path.join(__dirname, '..', '..', 'bin', 'ostrovane-fake.js');
