/**
 * H.264 sequence parameter set reading: enough of the SPS to know the size of
 * the encoded picture (macroblock counts, field coding and frame cropping).
 */

export interface SpsInfo {
  profileIdc: number;
  levelIdc: number;
  chromaFormatIdc: number;
  frameMbsOnly: boolean;
  width: number;
  height: number;
}

/** Profiles whose SPS carries chroma_format_idc and the bit depths. */
const HIGH_PROFILES = new Set([100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135]);

class BitReader {
  private pos = 0;
  constructor(private readonly buf: Buffer) {}

  bit(): number {
    const byte = this.pos >> 3;
    if (byte >= this.buf.length) throw new RangeError('SPS truncated');
    const b = (this.buf[byte] >> (7 - (this.pos & 7))) & 1;
    this.pos++;
    return b;
  }

  bits(n: number): number {
    let v = 0;
    for (let i = 0; i < n; i++) v = v * 2 + this.bit();
    return v;
  }

  /** Unsigned exp-Golomb. */
  ue(): number {
    let zeros = 0;
    while (this.bit() === 0) {
      if (++zeros > 31) throw new RangeError('bad exp-Golomb code');
    }
    return (2 ** zeros - 1) + this.bits(zeros);
  }

  /** Signed exp-Golomb. */
  se(): number {
    const k = this.ue();
    return k & 1 ? (k + 1) / 2 : -(k / 2);
  }
}

/** Removes emulation prevention bytes (00 00 03 -> 00 00). */
export function unescapeRbsp(nal: Buffer): Buffer {
  const out = Buffer.allocUnsafe(nal.length);
  let n = 0;
  let zeros = 0;
  for (let i = 0; i < nal.length; i++) {
    const b = nal[i];
    if (zeros >= 2 && b === 3) {
      zeros = 0;
      continue;
    }
    zeros = b === 0 ? zeros + 1 : 0;
    out[n++] = b;
  }
  return out.subarray(0, n);
}

function skipScalingList(r: BitReader, size: number): void {
  let last = 8;
  let next = 8;
  for (let j = 0; j < size; j++) {
    if (next !== 0) {
      next = (last + r.se() + 256) % 256;
    }
    last = next === 0 ? last : next;
  }
}

/**
 * Parses an SPS NAL unit (starting with its NAL header byte, type 7).
 * Returns undefined when the unit is not an SPS or is malformed.
 */
export function parseSps(nal: Buffer): SpsInfo | undefined {
  if (nal.length < 4 || (nal[0] & 0x1f) !== 7) return undefined;
  try {
    const r = new BitReader(unescapeRbsp(nal.subarray(1)));
    const profileIdc = r.bits(8);
    r.bits(8); // constraint flags
    const levelIdc = r.bits(8);
    r.ue(); // seq_parameter_set_id
    let chromaFormatIdc = 1;
    let separateColourPlane = 0;
    if (HIGH_PROFILES.has(profileIdc)) {
      chromaFormatIdc = r.ue();
      if (chromaFormatIdc === 3) separateColourPlane = r.bit();
      r.ue(); // bit_depth_luma_minus8
      r.ue(); // bit_depth_chroma_minus8
      r.bit(); // qpprime_y_zero_transform_bypass_flag
      if (r.bit()) {
        const lists = chromaFormatIdc !== 3 ? 8 : 12;
        for (let i = 0; i < lists; i++) {
          if (r.bit()) skipScalingList(r, i < 6 ? 16 : 64);
        }
      }
    }
    r.ue(); // log2_max_frame_num_minus4
    const pocType = r.ue();
    if (pocType === 0) {
      r.ue(); // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType === 1) {
      r.bit(); // delta_pic_order_always_zero_flag
      r.se(); // offset_for_non_ref_pic
      r.se(); // offset_for_top_to_bottom_field
      const cycle = r.ue();
      for (let i = 0; i < cycle; i++) r.se();
    }
    r.ue(); // max_num_ref_frames
    r.bit(); // gaps_in_frame_num_value_allowed_flag
    const widthMbs = r.ue() + 1;
    const heightMapUnits = r.ue() + 1;
    const frameMbsOnly = r.bit();
    if (!frameMbsOnly) r.bit(); // mb_adaptive_frame_field_flag
    r.bit(); // direct_8x8_inference_flag
    let cropLeft = 0;
    let cropRight = 0;
    let cropTop = 0;
    let cropBottom = 0;
    if (r.bit()) {
      cropLeft = r.ue();
      cropRight = r.ue();
      cropTop = r.ue();
      cropBottom = r.ue();
    }
    const chromaArrayType = separateColourPlane ? 0 : chromaFormatIdc;
    let cropUnitX = 1;
    let cropUnitY = 2 - frameMbsOnly;
    if (chromaArrayType !== 0) {
      const subWidthC = chromaFormatIdc === 3 ? 1 : 2;
      const subHeightC = chromaFormatIdc === 1 ? 2 : 1;
      cropUnitX = subWidthC;
      cropUnitY = subHeightC * (2 - frameMbsOnly);
    }
    const width = widthMbs * 16 - cropUnitX * (cropLeft + cropRight);
    const height = (2 - frameMbsOnly) * heightMapUnits * 16 - cropUnitY * (cropTop + cropBottom);
    if (width <= 0 || height <= 0) return undefined;
    return { profileIdc, levelIdc, chromaFormatIdc, frameMbsOnly: frameMbsOnly === 1, width, height };
  } catch {
    return undefined;
  }
}

/** Iterates the NAL units of an Annex B byte stream (3- or 4-byte start codes). */
export function* nalUnits(data: Buffer): Generator<Buffer> {
  let start = -1;
  let i = 0;
  while (i + 2 < data.length) {
    if (data[i] === 0 && data[i + 1] === 0 && data[i + 2] === 1) {
      if (start >= 0) yield trimZeros(data.subarray(start, i));
      i += 3;
      start = i;
    } else {
      i++;
    }
  }
  if (start >= 0 && start < data.length) yield data.subarray(start);
}

function trimZeros(b: Buffer): Buffer {
  let end = b.length;
  while (end > 0 && b[end - 1] === 0) end--;
  return b.subarray(0, end);
}

/** Finds the first SPS in an Annex B access unit and parses it. */
export function parseSpsFromAnnexB(data: Buffer): SpsInfo | undefined {
  for (const nal of nalUnits(data)) {
    if (nal.length > 0 && (nal[0] & 0x1f) === 7) return parseSps(nal);
  }
  return undefined;
}
