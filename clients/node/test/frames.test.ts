import { strict as assert } from 'assert';
import { test } from 'node:test';
import { encodeAudioFrame, encodeVideoFrame, Frame, FrameParser, parseSps, parseSpsFromAnnexB } from '../src';

const pcm = (n: number, v: number) => {
  const b = Buffer.alloc(n);
  for (let i = 0; i + 1 < n; i += 2) b.writeInt16LE(i % 4 === 0 ? v : -v, i);
  return b;
};

// SPS units written by x264 (ffmpeg libx264) for these sizes and profiles.
const SPS_VECTORS: Array<[string, string, number, number]> = [
  ['baseline 640x360 (cropped from 368)', '6742c016d900a02ff97011000003000100000300140f162e48', 640, 360],
  ['main 638x358', '674d4016eca05017f536022000000300200000030281e2c5b2c0', 638, 358],
  ['high 1280x720', '6764001facd9405005bb011000000300100000030140f1831960', 1280, 720],
  ['high 1920x1080', '67640028acd940780227e5c044000003000400000300503c60c658', 1920, 1080],
  // The high 1280x720 unit with scaling lists put in: a 4x4 list, one ended
  // early by a zero scale, and an 8x8 list.
  ['high 1280x720 with scaling lists', '6764001fadffffc221ffffffffffffffff6ca02802dd8088000003000800000300a078c18cb0', 1280, 720],
  ['high 4:2:2 1920x1080', '677a0028bcd940780227e27011000003000100000300140f183196', 1920, 1080],
  ['high 4:4:4 642x362 (crop unit 1)', '67f40016919b281485fc7cf80880000003008000000a078b16cb', 642, 362],
  ['interlaced 720x576 (field pairs)', '67640016acd940b424d80880000003008000000a0f8a14cb', 720, 576],
  ['interlaced 1920x1080 (cropped in field units)', '67640028acd94078044fde0220000003002000000643e2c5b2c0', 1920, 1080],
];

test('SPS sizes', async (t) => {
  for (const [name, hex, w, h] of SPS_VECTORS) {
    await t.test(name, () => {
      const sps = parseSps(Buffer.from(hex, 'hex'));
      assert.deepEqual([sps?.width, sps?.height], [w, h]);
    });
  }
  await t.test('found inside an access unit after an AUD with 3- and 4-byte start codes', () => {
    const au = Buffer.concat([Buffer.from('0000000109f0', 'hex'), Buffer.from('000001', 'hex'), Buffer.from(SPS_VECTORS[0][1], 'hex'), Buffer.from('0000000168ce3880', 'hex')]);
    assert.equal(parseSpsFromAnnexB(au)?.height, 360);
  });
  await t.test('truncated or foreign units give nothing', () => {
    assert.equal(parseSps(Buffer.from(SPS_VECTORS[2][1].slice(0, 12), 'hex')), undefined);
    assert.equal(parseSps(Buffer.from('68ce3880', 'hex')), undefined);
    assert.equal(parseSpsFromAnnexB(Buffer.from('00000001419a0010', 'hex')), undefined);
  });
});

function sampleStream(): { bytes: Buffer; frames: number } {
  const key = Buffer.concat([Buffer.from('00000001', 'hex'), Buffer.from(SPS_VECTORS[0][1], 'hex'), Buffer.from('0000000168ce38800000000165888400', 'hex')]);
  const parts = [
    encodeAudioFrame('mic', 7, pcm(3840, 16384)),
    encodeVideoFrame({ data: key, keyframe: true, pts: 0, sequence: 0, width: 1280, height: 720, fps: 10 }),
    encodeAudioFrame('system', 0xffffffff, pcm(3840, 0)),
    encodeVideoFrame({ data: Buffer.from('00000001419a00', 'hex'), keyframe: false, pts: 2 ** 40 + 5, sequence: 1, width: 1280, height: 720, fps: 10 }),
    encodeAudioFrame('mic', 8, Buffer.alloc(0)),
  ];
  return { bytes: Buffer.concat(parts), frames: parts.length };
}

function describe(frames: Frame[]): string[] {
  return frames.map((f) =>
    f.kind === 'audio'
      ? `${f.stream}#${f.sequence} ${f.pcm.length}B level=${f.level.toFixed(3)}`
      : `video#${f.sequence} key=${f.keyframe} pts=${f.pts} ${f.width}x${f.height}@${f.fps} decoded=${f.decodedWidth}x${f.decodedHeight} ${f.data.length}B`,
  );
}

const EXPECTED = [
  'mic#7 3840B level=0.500',
  'video#0 key=true pts=0 1280x720@10 decoded=640x360 45B',
  'system#4294967295 3840B level=0.000',
  // The decoded size is carried forward from the keyframe.
  `video#1 key=false pts=${2 ** 40 + 5} 1280x720@10 decoded=640x360 7B`,
  'mic#8 0B level=0.000',
];

test('frames split at every byte boundary parse the same', () => {
  const { bytes } = sampleStream();
  const whole: Frame[] = [];
  new FrameParser((f) => whole.push(f)).push(bytes);
  assert.deepEqual(describe(whole), EXPECTED);
  for (let cut = 1; cut < bytes.length; cut++) {
    const got: Frame[] = [];
    const p = new FrameParser((f) => got.push(f));
    p.push(bytes.subarray(0, cut));
    p.push(bytes.subarray(cut));
    assert.deepEqual(describe(got), EXPECTED, `cut at ${cut}`);
  }
  const single: Frame[] = [];
  const p = new FrameParser((f) => single.push(f));
  for (let i = 0; i < bytes.length; i++) p.push(bytes.subarray(i, i + 1));
  assert.deepEqual(describe(single), EXPECTED);
});

test('the level field reads the protocol example', () => {
  const header = Buffer.from('41 50 4C 44 01 01 80 BB 02 10 FF 7F 00 0F 00 00 07 00 00 00 00 00 00 00'.replace(/ /g, ''), 'hex');
  const got: Frame[] = [];
  new FrameParser((f) => got.push(f)).push(Buffer.concat([header, Buffer.alloc(3840)]));
  assert.deepEqual(describe(got), ['mic#7 3840B level=0.500']);
});

test('bytes that are no frame are skipped up to the next magic', () => {
  const { bytes } = sampleStream();
  const noisy = Buffer.concat([Buffer.from('APLxAPAPL'), bytes.subarray(0, 3864), Buffer.from('junk'), bytes.subarray(3864)]);
  const got: Frame[] = [];
  let skipped = 0;
  const p = new FrameParser(
    (f) => got.push(f),
    (n) => (skipped += n),
  );
  for (let i = 0; i < noisy.length; i += 5) p.push(noisy.subarray(i, i + 5));
  assert.deepEqual(describe(got), EXPECTED);
  assert.equal(skipped, 13);
});
