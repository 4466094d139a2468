import type { AudioGap } from './protocol';

/** Milliseconds of audio in one frame. */
export const FRAME_MS = 20;

/**
 * Places audio frames on their stream's timeline: the time of frame s is
 * s x 20 ms plus the durations of the gaps reported at or before s, counted
 * from `STREAMING:started`. Gap lines and frames travel on different pipes,
 * so a time is final once the gaps up to that frame have arrived (in
 * practice a few milliseconds after the frame).
 */
export class Timeline {
  private readonly gaps: Record<'mic' | 'system', AudioGap[]> = { mic: [], system: [] };

  addGap(gap: AudioGap): void {
    const list = this.gaps[gap.stream];
    let i = list.length;
    while (i > 0 && list[i - 1].sequence > gap.sequence) i--;
    list.splice(i, 0, gap);
  }

  /** Forgets all gaps (a new stream starts counting from 0). */
  reset(): void {
    this.gaps.mic = [];
    this.gaps.system = [];
  }

  /** Gaps of a stream, by sequence number. */
  gapsOf(stream: 'mic' | 'system'): readonly AudioGap[] {
    return this.gaps[stream];
  }

  /** Start time in ms of the frame with this sequence number. */
  timeOf(stream: 'mic' | 'system', sequence: number): number {
    let t = sequence * FRAME_MS;
    for (const g of this.gaps[stream]) {
      if (g.sequence > sequence) break;
      t += g.durationMs;
    }
    return t;
  }

  /** Total missing audio of a stream in ms. */
  missingMs(stream: 'mic' | 'system'): number {
    return this.gaps[stream].reduce((sum, g) => sum + g.durationMs, 0);
  }
}
