"""TarvoCoil video trigger: virtual induction loops on numpy frames.

See help(tarvocoil.Detector) and the README's Python section.
"""
from ._tarvocoil import (  # noqa: F401
    MAX_AREAS,
    MAX_FRAME_HEIGHT,
    MAX_FRAME_WIDTH,
    MIN_FRAME_HEIGHT,
    MIN_FRAME_WIDTH,
    Areas,
    AreasFileError,
    Detector,
    __doc__,
    __version__,
    load_areas,
    parse_areas,
)

__all__ = [
    "Areas",
    "AreasFileError",
    "Detector",
    "load_areas",
    "parse_areas",
    "MAX_AREAS",
    "MIN_FRAME_WIDTH",
    "MAX_FRAME_WIDTH",
    "MIN_FRAME_HEIGHT",
    "MAX_FRAME_HEIGHT",
]
