"""Type stubs for tarvocoil (the extension module tarvocoil._tarvocoil)."""
import os
from typing import Any, Dict, List, Literal, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str
MAX_AREAS: int
MIN_FRAME_WIDTH: int
MAX_FRAME_WIDTH: int
MIN_FRAME_HEIGHT: int
MAX_FRAME_HEIGHT: int

Vertex = Tuple[int, int]
Quad = Sequence[Sequence[int]]
LightLimits = Tuple[int, int, int, int, int]
AreasLike = Union[Sequence[Quad], str, bytes, os.PathLike, "Areas"]
Thresholds = Union[None, float, Sequence[float]]

class AreasFileError(ValueError): ...

class Areas:
    """The contents of an areas file: areas with names and thresholds, and settings."""
    @property
    def names(self) -> List[str]: ...
    @property
    def vertices(self) -> List[Tuple[Vertex, Vertex, Vertex, Vertex]]: ...
    @property
    def thresholds(self) -> List[float]: ...
    @property
    def settings(self) -> Dict[str, Any]: ...
    @property
    def warnings(self) -> List[str]: ...
    def __len__(self) -> int: ...

def load_areas(path: Union[str, bytes, os.PathLike]) -> Areas: ...
def parse_areas(text: str, source: str = "<string>") -> Areas: ...

class LightBlob(TypedDict):
    x: int
    y: int
    width: int
    height: int
    total: int
    mean_run: int

class AreaMeasurement(TypedDict, total=False):
    kind: Literal["baseline", "detect"]
    grey_sum: int
    mean: int
    sample_count: int
    reference_grey: int
    bg_diff_sum: int
    presence_limit: int
    presence_limit_state: Literal["value", "nan", "saturated_high", "saturated_low"]
    prev_diff_sum: int
    still_limit: int
    still_limit_state: Literal["value", "nan", "saturated_high", "saturated_low"]
    still_count: int
    refresh: Literal["none", "copy", "exchange"]
    present: bool
    result: int
    light_tested: bool
    blob_found: bool
    blob: LightBlob

class Settings(TypedDict):
    frame_count: int
    disturb_ratio: float
    front_light: bool
    light: LightLimits
    light_max_area: int

class Detector:
    """One detector: areas, working planes, settings and flags of its own."""
    def __init__(
        self,
        areas: AreasLike,
        thresholds: Thresholds = None,
        *,
        frame_count: int = ...,
        disturb_ratio: float = ...,
        front_light: bool = ...,
        light: Sequence[int] = ...,
        measuring: bool = ...,
    ) -> None: ...
    def process(self, frame: npt.NDArray[np.uint8]) -> npt.NDArray[np.int32]:
        """Flags of one BGR (H, W, 3) frame; empty on a baseline frame."""
    def triggered(self, frame: npt.NDArray[np.uint8]) -> List[int]:
        """Indices of the areas triggered on this frame."""
    def replace_areas(self, areas: AreasLike, thresholds: Thresholds = None) -> None: ...
    def measurements(self) -> List[AreaMeasurement]: ...
    def areas_rows(self, index: int) -> npt.NDArray[np.int32]: ...
    def grid_sample_count(self, index: int, width: int, height: int) -> int: ...
    @property
    def area_count(self) -> int: ...
    @property
    def names(self) -> List[str]: ...
    @property
    def thresholds(self) -> List[float]: ...
    measuring: bool
    frame_count: int
    disturb_ratio: float
    front_light: bool
    @property
    def light(self) -> LightLimits: ...
    @light.setter
    def light(self, value: Sequence[int]) -> None: ...
    @property
    def light_max_area(self) -> int: ...
    @property
    def settings(self) -> Settings: ...
