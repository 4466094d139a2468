import { strict as assert } from 'assert';
import { test } from 'node:test';
import { OstrovaneError } from '../src';
import { CallTracker } from '../src/calls';
import { CommandName, isAnswerLine } from '../src/protocol';

/**
 * A scenario is a list of steps: "> LINE" sends a command, "< LINE" is a
 * line from the helper. `expect` lists each call's outcome in send order:
 * "ok:<value>", a rejection reason, or "pending".
 */
interface Scenario {
  name: string;
  steps: string[];
  expect: string[];
}

const R = 'CMD_RESPONSE:';
const scenarios: Scenario[] = [
  {
    name: 'a start answered after later commands gets its late answer',
    steps: ['> START_STREAMING', '> HEALTH_CHECK', '> LIST_DEVICES', `< ${R}HEALTH_OK:1.5`, `< ${R}DEVICES_LIST:[]`, `< ${R}STREAMING:started`],
    expect: ['ok:started', 'ok:1.5', 'ok:[]'],
  },
  {
    name: "the second start's already_active arrives before the first start's started",
    steps: ['> START_STREAMING', '> START_STREAMING', `< ${R}STREAMING:already_active`, `< ${R}STREAMING:started`],
    expect: ['ok:started', 'already_active'],
  },
  {
    name: 'a start while a stream runs is already_active at once',
    steps: ['> START_STREAMING', `< ${R}STREAMING:started`, '> START_STREAMING', '> HEALTH_CHECK', `< ${R}STREAMING:already_active`, `< ${R}HEALTH_OK:2`],
    expect: ['ok:started', 'already_active', 'ok:2'],
  },
  {
    name: 'a stop before the start is decided cancels the start',
    steps: ['> START_STREAMING', '> STOP_STREAMING', `< ${R}STREAMING:stopped`],
    expect: ['cancelled', 'ok:stopped'],
  },
  {
    name: 'a start after a stop gets the next started',
    steps: ['> START_STREAMING', '> STOP_STREAMING', '> START_STREAMING', `< ${R}STREAMING:stopped`, `< ${R}STREAMING:started`],
    expect: ['cancelled', 'ok:stopped', 'ok:started'],
  },
  {
    name: 'two starts where the first fails: the second was deferred too and gets started',
    steps: ['> START_STREAMING', '> START_STREAMING', `< ${R}STREAMING:failed:system_audio_negotiation_timeout`, `< ${R}STREAMING:started`],
    expect: ['system_audio_negotiation_timeout', 'ok:started'],
  },
  {
    name: 'after a failed start a new start cannot be already_active',
    steps: ['> START_STREAMING', `< ${R}STREAMING:failed:no_device`, '> START_STREAMING', '> START_STREAMING', `< ${R}STREAMING:already_active`, `< ${R}STREAMING:started`],
    expect: ['no_device', 'ok:started', 'already_active'],
  },
  {
    name: 'a stream from TEST_WAV makes a start already_active',
    steps: ['> TEST_WAV:/tmp/a.wav', `< ${R}TEST_WAV:started:/tmp/a.wav`, '> START_STREAMING', `< ${R}STREAMING:already_active`],
    expect: ['ok:/tmp/a.wav', 'already_active'],
  },
  {
    name: 'a screenshot failure is only a log line after its echo',
    steps: ['> SCREENSHOT', '> HEALTH_CHECK', '< ERROR: before the echo belongs to nobody', '< Received command: SCREENSHOT', '< ERROR: Failed to capture screenshot: no display', '< Received command: HEALTH_CHECK', `< ${R}HEALTH_OK:3`],
    expect: ['screenshot_failed', 'ok:3'],
  },
  {
    name: 'a screenshot that wrote nothing has failed once a later command answers',
    steps: ['> SCREENSHOT', '> HEALTH_CHECK', `< ${R}HEALTH_OK:3`],
    expect: ['screenshot_failed', 'ok:3'],
  },
  {
    name: 'an ERROR: line while another command runs does not fail a queued screenshot',
    steps: ['> START_VIDEO:{}', '> SCREENSHOT', '< Received command: START_VIDEO:{}', '< ERROR: something else', `< ${R}START_VIDEO:started`, `< ${R}SCREENSHOT_DATA:iVBO`],
    expect: ['ok:started', 'ok:iVBO'],
  },
  {
    name: 'overlapping samples each get their own record, in order',
    steps: ['> SAMPLE_RUNNING_MICS:a', '> SAMPLE_RUNNING_MICS:b', '> HEALTH_CHECK', '< EVENT:RUNNING_MICS_SAMPLE_STARTED', '< EVENT:RUNNING_MICS_SAMPLE_STARTED', `< ${R}HEALTH_OK:4`, '< RUNNING_MICS_SAMPLE:{"reason":"a"}', '< RUNNING_MICS_SAMPLE:{"reason":"b"}'],
    expect: ['ok:{"reason":"a"}', 'ok:{"reason":"b"}', 'ok:4'],
  },
  {
    name: 'an unknown command is rejected by its log line',
    steps: ['> HEALTH_CHECK', '< Received command: HEALTH_CHECK', '< Unknown command: HEALTH_CHECK'],
    expect: ['unknown_command'],
  },
  {
    name: 'failure answers carry reason words',
    steps: [
      '> START_VIDEO:{"id":7}', '> START_VIDEO:{}', '> SNAPSHOT_NOW:320', '> TEST_WAV:x', '> SWITCH_VIDEO:{}', '> TEST_MIC_TAP',
      `< ${R}START_VIDEO:error:targetNotFound("Display 7 not found")`,
      `< ${R}START_VIDEO:error:Error Domain=LinuxCapture Code=-3814 "Display capture is not available"`,
      `< ${R}SNAPSHOT_NOW:error:no_frame`, `< ${R}TEST_WAV:error:streamer_already_active`,
      `< ${R}SWITCH_VIDEO:error:invalid_target_id`, `< ${R}TEST_MIC_TAP:error:renderingFailed`,
    ],
    expect: ['targetNotFound', 'error', 'no_frame', 'streamer_already_active', 'invalid_target_id', 'renderingFailed'],
  },
  {
    name: 'word answers resolve with the word',
    steps: ['> STOP_VIDEO', '> STOP_MIC_MONITORING', '> START_MIC_MONITORING', `< ${R}STOP_VIDEO:not_active`, `< ${R}MIC_MONITORING:not_active`, `< ${R}MIC_MONITORING:already_active`],
    expect: ['ok:not_active', 'ok:not_active', 'ok:already_active'],
  },
  {
    name: 'answers nobody asked for are left alone',
    steps: ['> HEALTH_CHECK', `< ${R}STREAMING:started`, `< ${R}LIST_WINDOWS:[]`],
    expect: ['pending'],
  },
];

function run(s: Scenario): { outcomes: string[]; unclaimed: string[]; tracker: CallTracker } {
  const tracker = new CallTracker();
  const outcomes: string[] = [];
  const unclaimed: string[] = [];
  for (const step of s.steps) {
    const text = step.slice(2);
    if (step.startsWith('> ')) {
      const i = outcomes.push('pending') - 1;
      const command = text.split(':')[0] as CommandName;
      tracker.add(
        command,
        text,
        (a) => (outcomes[i] = `ok:${a.value}`),
        (e) => (outcomes[i] = e.reason),
      );
    } else if (isAnswerLine(text)) {
      if (!tracker.onAnswer(text)) unclaimed.push(text);
    } else {
      tracker.onOtherLine(text);
    }
  }
  return { outcomes, unclaimed, tracker };
}

test('answers are matched to their calls', async (t) => {
  for (const s of scenarios) {
    await t.test(s.name, () => assert.deepEqual(run(s).outcomes, s.expect));
  }
});

test('unclaimed answers are reported, not given to a waiting call', () => {
  const { unclaimed, tracker } = run(scenarios[scenarios.length - 1]);
  assert.deepEqual(unclaimed, [`${R}STREAMING:started`, `${R}LIST_WINDOWS:[]`]);
  assert.equal(tracker.pending, 1);
});

test('a timed-out call still takes its own late answer, so the next call gets the right one', () => {
  const tracker = new CallTracker();
  const got: string[] = [];
  const first = tracker.add('START_VIDEO', 'START_VIDEO:{}', () => got.push('first'), () => got.push('first rejected'));
  first.reject(new OstrovaneError('timeout', 'late'));
  tracker.add('START_VIDEO', 'START_VIDEO:{}', (a) => got.push(`second ${a.value}`), (e) => got.push(`second ${e.reason}`));
  tracker.onAnswer(`${R}START_VIDEO:started`);
  tracker.onAnswer(`${R}START_VIDEO:error:already_active`);
  assert.deepEqual(got, ['first rejected', 'second already_active']);
});

test('a timed-out call that the helper ran without answering gives way to the next', () => {
  const tracker = new CallTracker();
  const got: string[] = [];
  const first = tracker.add('HEALTH_CHECK', 'HEALTH_CHECK', () => got.push('first'), (e) => got.push(`first ${e.reason}`));
  tracker.onOtherLine('Received command: HEALTH_CHECK');
  first.reject(new OstrovaneError('timeout', ''));
  tracker.add('HEALTH_CHECK', 'HEALTH_CHECK', (a) => got.push(`second ${a.value}`), () => got.push('second rejected'));
  tracker.onOtherLine('Received command: HEALTH_CHECK');
  tracker.onAnswer(`${R}HEALTH_OK:9`);
  assert.deepEqual(got, ['first timeout', 'second 9']);
});

test('a device diagnostic call collects the records written while it runs', () => {
  const tracker = new CallTracker();
  let collected: string[] = [];
  tracker.add('GET_DEVICE_DIAGNOSTIC', 'GET_DEVICE_DIAGNOSTIC:why', (a) => (collected = a.collected), () => {});
  tracker.onOtherLine('DEVICE_DIAGNOSTIC:{"event":"capture_start"}');
  tracker.onOtherLine('Received command: GET_DEVICE_DIAGNOSTIC:why');
  tracker.onOtherLine('DEVICE_DIAGNOSTIC:{"reason":"why"}');
  tracker.onAnswer('EVENT:DEVICE_DIAGNOSTIC_REQUESTED');
  assert.deepEqual(collected, ['{"reason":"why"}']);
});
