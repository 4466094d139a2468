"""Just enough H.264 parsing to read the picture size from a sequence parameter set.

A display capture is encoded at a size that differs from the one written in the
frame header, so the true size has to come from the SPS in front of each keyframe.
"""

from __future__ import annotations

from typing import Iterator

# profile_idc values whose SPS carries chroma_format_idc, bit depths and scaling lists
_HIGH_PROFILES = frozenset({100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135})

NAL_SPS = 7


class _BitReader:
    def __init__(self, data: bytes) -> None:
        self._data = data
        self._pos = 0  # in bits

    def bit(self) -> int:
        byte = self._pos >> 3
        if byte >= len(self._data):
            raise ValueError("SPS ends early")
        value = (self._data[byte] >> (7 - (self._pos & 7))) & 1
        self._pos += 1
        return value

    def bits(self, n: int) -> int:
        value = 0
        for _ in range(n):
            value = (value << 1) | self.bit()
        return value

    def ue(self) -> int:
        zeros = 0
        while self.bit() == 0:
            zeros += 1
            if zeros > 31:
                raise ValueError("exp-Golomb code too long")
        return (1 << zeros) - 1 + self.bits(zeros)

    def se(self) -> int:
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)


def nal_units(stream: bytes) -> Iterator[bytes]:
    """Yields the NAL units (without start codes) of an Annex B byte stream."""
    starts = []
    i = 0
    n = len(stream)
    while True:
        j = stream.find(b"\x00\x00\x01", i)
        if j < 0:
            break
        starts.append(j + 3)
        i = j + 3
    for k, start in enumerate(starts):
        end = starts[k + 1] - 3 if k + 1 < len(starts) else n
        # trailing zero bytes belong to the next (4-byte) start code
        while end > start and stream[end - 1] == 0:
            end -= 1
        if end > start:
            yield stream[start:end]


def _rbsp(nal: bytes) -> bytes:
    """Removes emulation prevention bytes (00 00 03 -> 00 00)."""
    out = bytearray()
    zeros = 0
    for b in nal:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def _skip_scaling_list(r: _BitReader, size: int) -> None:
    last = 8
    nxt = 8
    for _ in range(size):
        if nxt != 0:
            nxt = (last + r.se() + 256) % 256
        last = last if nxt == 0 else nxt


def parse_sps(nal: bytes) -> tuple[int, int]:
    """Returns (width, height) in pixels of the picture an SPS NAL unit describes.

    `nal` starts with the NAL header byte. Raises ValueError when it is not a
    well-formed SPS.
    """
    if not nal or nal[0] & 0x1F != NAL_SPS:
        raise ValueError("not an SPS NAL unit")
    r = _BitReader(_rbsp(nal[1:]))
    profile_idc = r.bits(8)
    r.bits(8)  # constraint flags
    r.bits(8)  # level_idc
    r.ue()  # seq_parameter_set_id
    chroma_format_idc = 1
    separate_colour_plane = 0
    if profile_idc in _HIGH_PROFILES:
        chroma_format_idc = r.ue()
        if chroma_format_idc > 3:
            raise ValueError("bad chroma_format_idc")
        if chroma_format_idc == 3:
            separate_colour_plane = r.bit()
        r.ue()  # bit_depth_luma_minus8
        r.ue()  # bit_depth_chroma_minus8
        r.bit()  # qpprime_y_zero_transform_bypass_flag
        if r.bit():  # seq_scaling_matrix_present_flag
            for i in range(8 if chroma_format_idc != 3 else 12):
                if r.bit():
                    _skip_scaling_list(r, 16 if i < 6 else 64)
    r.ue()  # log2_max_frame_num_minus4
    poc_type = r.ue()
    if poc_type == 0:
        r.ue()  # log2_max_pic_order_cnt_lsb_minus4
    elif poc_type == 1:
        r.bit()  # delta_pic_order_always_zero_flag
        r.se()  # offset_for_non_ref_pic
        r.se()  # offset_for_top_to_bottom_field
        for _ in range(r.ue()):
            r.se()
    r.ue()  # max_num_ref_frames
    r.bit()  # gaps_in_frame_num_value_allowed_flag
    width_mbs = r.ue() + 1
    height_map_units = r.ue() + 1
    frame_mbs_only = r.bit()
    if not frame_mbs_only:
        r.bit()  # mb_adaptive_frame_field_flag
    r.bit()  # direct_8x8_inference_flag
    width = width_mbs * 16
    height = (2 - frame_mbs_only) * height_map_units * 16
    if r.bit():  # frame_cropping_flag
        left, right, top, bottom = r.ue(), r.ue(), r.ue(), r.ue()
        chroma_array_type = 0 if separate_colour_plane else chroma_format_idc
        if chroma_array_type == 0:
            crop_x, crop_y = 1, 2 - frame_mbs_only
        else:
            sub_w = 1 if chroma_format_idc == 3 else 2
            sub_h = 2 if chroma_format_idc == 1 else 1
            crop_x, crop_y = sub_w, sub_h * (2 - frame_mbs_only)
        width -= crop_x * (left + right)
        height -= crop_y * (top + bottom)
    if width <= 0 or height <= 0:
        raise ValueError("SPS cropping leaves no picture")
    return width, height


def picture_size(access_unit: bytes) -> tuple[int, int] | None:
    """The picture size from the first SPS in an Annex B access unit, or None."""
    for nal in nal_units(access_unit):
        if nal[0] & 0x1F == NAL_SPS:
            try:
                return parse_sps(nal)
            except ValueError:
                return None
    return None
