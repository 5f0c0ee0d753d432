"""TarvoCoil video trigger: virtual induction loops on numpy frames.

See help(tarvocoil.Detector) and the repository's docs/python.md.
"""
import functools

from ._tarvocoil import _made
from ._tarvocoil import (  # noqa: F401
    MAX_AREAS,
    MAX_FRAME_HEIGHT,
    MAX_FRAME_WIDTH,
    MIN_FRAME_HEIGHT,
    MIN_FRAME_WIDTH,
    Areas,
    AreasFileError,
    Detector,
    Traffic,
    __doc__,
    __version__,
    load_areas,
    parse_areas,
)


def _made_once(init):
    # pybind11 silently ignores __init__ called again on a made object: the
    # caller would believe in new areas and settings while the old ones run.
    @functools.wraps(init)
    def __init__(self, *args, **kwargs):
        if _made(self):
            raise TypeError("Detector.__init__() called again on a detector already made; make a new "
                            "Detector, or call replace_areas() and set the settings")
        init(self, *args, **kwargs)

    __init__.__qualname__ = "Detector.__init__"
    return __init__


Detector.__init__ = _made_once(Detector.__init__)

__all__ = [
    "Areas",
    "AreasFileError",
    "Detector",
    "Traffic",
    "load_areas",
    "parse_areas",
    "MAX_AREAS",
    "MIN_FRAME_WIDTH",
    "MAX_FRAME_WIDTH",
    "MIN_FRAME_HEIGHT",
    "MAX_FRAME_HEIGHT",
]
