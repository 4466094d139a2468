"""Python client for the Ostrovane capture helper (asyncio)."""

from .answers import ANSWERS, reason_word
from .errors import HelperError
from .frames import AudioFrame, FrameParser, VideoFrame
from .h264 import parse_sps, picture_size
from .helper import Helper, Subscription, find_binary
from .lines import (Answer, AudioGap, Event, Line, MicEvent, Record, Recovery,
                    SystemAudioEvent, VideoStreamError, parse_line)
from .results import Device, MicTap, Target
from .timeline import StreamTimeline, Timeline
from .writers import H264Writer, WavWriter

__version__ = "0.1.0"

__all__ = [
    "ANSWERS", "Answer", "AudioFrame", "AudioGap", "Device", "Event", "FrameParser",
    "H264Writer", "Helper", "HelperError", "Line", "MicEvent", "MicTap", "Record",
    "Recovery", "StreamTimeline", "Subscription", "SystemAudioEvent", "Target", "Timeline",
    "VideoFrame", "VideoStreamError", "WavWriter", "find_binary", "parse_line",
    "parse_sps", "picture_size", "reason_word",
]
