import { OstrovaneError, reasonOf } from './errors';
import { AnswerRule, CommandName, COMMANDS, CommandEntry, ruleMatches } from './protocol';

/** The raw outcome of a call: the answer text after its tag, and records it collected. */
export interface CallAnswer {
  value: string;
  collected: string[];
}

export interface Call {
  readonly id: number;
  readonly command: CommandName;
  readonly line: string;
  readonly entry: CommandEntry;
  /** Sent while a stream may exist (a START_STREAMING that may be `already_active`). */
  streamMayExist: boolean;
  /** The helper echoed the line (`Received command: ...`). */
  echoed: boolean;
  /** Settled: resolved, rejected, or given up (timeout). A settled call still consumes its answer. */
  settled: boolean;
  /** Lines with the entry's `collects` prefix written while the call ran (text after the prefix). */
  collected: string[];
  resolve(answer: CallAnswer): void;
  reject(error: OstrovaneError): void;
}

/**
 * Matches the helper's answers to the calls that were sent.
 *
 * Answers come in command order, except `late` ones. Calls whose in-order
 * answer is still open wait in `queue`; calls whose in-order part is over
 * (deferred starts, acknowledged samples) wait in `waitingLate`.
 */
export class CallTracker {
  private nextId = 1;
  private queue: Call[] = [];
  private waitingLate: Call[] = [];
  /** After the commands sent so far, no stream can exist. */
  private noStream = true;
  private lastStreamCall: Call | undefined;

  /** Registers a call about to be written. */
  add(command: CommandName, line: string, resolve: (a: CallAnswer) => void, reject: (e: OstrovaneError) => void): Call {
    const call: Call = {
      id: this.nextId++,
      command,
      line,
      entry: COMMANDS[command],
      streamMayExist: true,
      echoed: false,
      settled: false,
      collected: [],
      resolve: (a) => {
        if (call.settled) return;
        call.settled = true;
        resolve(a);
      },
      reject: (e) => {
        if (call.settled) return;
        call.settled = true;
        reject(e);
      },
    };
    this.trackStreamState(call);
    this.queue.push(call);
    return call;
  }

  /** Calls not yet settled. */
  get pending(): number {
    return this.queue.concat(this.waitingLate).filter((c) => !c.settled).length;
  }

  /**
   * The helper's stream state as the commands sent so far leave it, as far as
   * the client can know: a START_STREAMING sent while no stream can exist is
   * surely deferred and cannot be the one answered `already_active`.
   */
  private trackStreamState(call: Call): void {
    switch (call.command) {
      case 'START_STREAMING':
      case 'TEST_WAV':
        call.streamMayExist = !this.noStream;
        this.noStream = false;
        this.lastStreamCall = call;
        break;
      case 'STOP_STREAMING':
      case 'STOP':
        this.noStream = true;
        this.lastStreamCall = call;
        break;
      default:
    }
  }

  /** A stream-starting call failed: if nothing was sent after it, no stream exists. */
  private streamStartFailed(call: Call, reason: string): void {
    if (this.lastStreamCall !== call || reason === 'already_active' || reason === 'streamer_already_active') return;
    if (call.command === 'START_STREAMING' || (call.command === 'TEST_WAV' && !call.streamMayExist)) this.noStream = true;
  }

  /** Handles an answer line; returns false when no call claims it. */
  onAnswer(line: string): boolean {
    return this.matchLate(line) || this.matchInOrder(line);
  }

  private matchLate(line: string): boolean {
    let best: { call: Call; rule: AnswerRule } | undefined;
    for (const call of this.waitingLate.concat(this.queue)) {
      const rule = call.entry.answers.find((r) => r.late && ruleMatches(r, line));
      if (rule && (!best || call.id < best.call.id)) best = { call, rule };
    }
    if (!best) return false;
    this.remove(best.call);
    this.settle(best.call, best.rule, line);
    return true;
  }

  private matchInOrder(line: string): boolean {
    const index = this.queue.findIndex((call) =>
      call.entry.answers.some((r) => !r.late && ruleMatches(r, line) && (!r.needsStream || call.streamMayExist)),
    );
    if (index < 0) return false;
    const call = this.queue[index];
    const rule = call.entry.answers.find((r) => !r.late && ruleMatches(r, line)) as AnswerRule;

    // Everything sent before it has written its in-order answer, or none.
    const before = this.queue.splice(0, index);
    this.queue.shift();
    const keep: Call[] = [];
    for (const c of before) {
      if (c.entry.mayDefer) {
        this.waitingLate.push(c);
      } else if (c.entry.failureLog) {
        c.reject(new OstrovaneError(c.entry.failureLog.reason, 'no answer', c.line));
      } else if (!c.settled) {
        // Not answered yet, against the ordering rule: keep waiting (its own timeout ends it).
        keep.push(c);
      }
    }
    this.queue.unshift(...keep);
    this.waitingLate.sort((a, b) => a.id - b.id);

    if (rule.outcome === 'ack') {
      this.waitingLate.push(call);
      this.waitingLate.sort((a, b) => a.id - b.id);
    } else {
      this.settle(call, rule, line);
    }
    this.cancelBy(line, call.id);
    return true;
  }

  /** An answer such as `STREAMING:stopped` silences starts sent before its command. */
  private cancelBy(line: string, beforeId: number): void {
    for (const c of this.waitingLate.concat(this.queue)) {
      if (c.id < beforeId && c.entry.cancelledBy === line) {
        this.remove(c);
        c.reject(new OstrovaneError('cancelled', `cancelled by a later command (${line})`, c.line));
      }
    }
  }

  private settle(call: Call, rule: AnswerRule, line: string): void {
    const rest = line.slice(rule.prefix.length);
    if (rule.outcome === 'ok') {
      // An exact answer resolves with its last word (`stopped`, `not_active`, ...).
      const value = rule.exact ? rule.prefix.slice(rule.prefix.lastIndexOf(':') + 1) : rest;
      call.resolve({ value, collected: call.collected });
      return;
    }
    const reason = rule.outcome === 'reject' ? (rule.reason as string) : reasonOf(rest, line.includes(':failed:') ? 'failed' : 'error');
    this.streamStartFailed(call, reason);
    call.reject(new OstrovaneError(reason, rule.outcome === 'reject' ? line : rest, call.line));
  }

  private remove(call: Call): void {
    this.queue = this.queue.filter((c) => c !== call);
    this.waitingLate = this.waitingLate.filter((c) => c !== call);
  }

  /** The call whose in-order answer is next (deferred starts aside). */
  private head(): Call | undefined {
    return this.queue.find((c) => !c.entry.mayDefer);
  }

  /** Handles a line that answers nothing: echoes, unknown commands, failure logs, records. */
  onOtherLine(line: string): void {
    if (line.startsWith('Received command: ')) {
      const sent = line.slice(18);
      const c = this.queue.concat(this.waitingLate).find((x) => !x.echoed && x.line === sent);
      if (!c) return;
      c.echoed = true;
      // The helper echoes a command when it starts running it, after the one
      // before has answered: a timed-out call that was echoed earlier and is
      // still unanswered wrote nothing, and must not take a later answer.
      this.queue = this.queue.filter((x) => !(x.id < c.id && x.settled && x.echoed && !x.entry.mayDefer));
      return;
    }
    if (line.startsWith('Unknown command: ')) {
      const sent = line.slice(17);
      const c = this.queue.find((x) => x.line === sent);
      if (c) {
        this.remove(c);
        c.reject(new OstrovaneError('unknown_command', line, c.line));
      }
      return;
    }
    const head = this.head();
    if (!head || !head.echoed) return;
    const fail = head.entry.failureLog;
    if (fail && line.startsWith(fail.prefix)) {
      this.remove(head);
      head.reject(new OstrovaneError(fail.reason, line.slice(fail.prefix.length).trim(), head.line));
      return;
    }
    if (head.entry.collects && line.startsWith(head.entry.collects)) {
      head.collected.push(line.slice(head.entry.collects.length));
    }
  }

  /** The helper is gone: every waiting call fails with `error`. */
  failAll(error: (call: Call) => OstrovaneError): void {
    const all = this.queue.concat(this.waitingLate);
    this.queue = [];
    this.waitingLate = [];
    for (const c of all) c.reject(error(c));
  }
}
