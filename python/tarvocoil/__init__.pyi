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

class TriggerEvent(TypedDict):
    event: Literal["trigger"]
    frame: int
    time: float
    area: int
    name: str
    entry: float

VehicleEvent = TypedDict("VehicleEvent", {
    "event": Literal["vehicle"],
    "pair": str,
    "from": str,
    "to": str,
    "frame": int,
    "time": float,
    "speed_kmh": float,
    "length_m": Optional[float],
})

HealthState = Literal["ok", "no-activity", "chatter", "max-presence"]

class HealthEvent(TypedDict):
    event: Literal["health"]
    state: HealthState
    previous: HealthState
    frame: int
    time: float
    area: int
    name: str

TrafficEvent = Union[TriggerEvent, VehicleEvent, HealthEvent]

class IntervalRow(TypedDict):
    start: float
    end: float
    area: int
    name: str
    frames: int
    count: int
    occupancy: Optional[float]
    vehicles: Optional[int]
    mean_speed_kmh: Optional[float]
    mean_length_m: Optional[float]
    health: HealthState
    wall_start: Optional[str]

PairCounts = TypedDict("PairCounts", {
    "name": str,
    "from": str,
    "to": str,
    "distance": float,
    "matched": int,
    "unmatched_from": int,
    "unmatched_to": int,
})

class Traffic:
    """Traffic data from a detector's frames: reported triggers, vehicles, health, interval rows."""
    def __init__(self, areas: AreasLike, interval: float = 60.0, wall_clock: bool = False) -> None: ...
    def frame(
        self,
        detector: Detector,
        flags: Union[npt.NDArray[np.int32], Sequence[int]],
        time: float,
        wall_time: Optional[float] = None,
    ) -> List[TrafficEvent]:
        """One processed frame (the detector measuring); its new events."""
    def stream_lost(self, time: float) -> List[TrafficEvent]: ...
    def finish(self) -> List[TrafficEvent]: ...
    def take_rows(self) -> List[IntervalRow]:
        """The interval rows closed since the last call."""
    @property
    def area_count(self) -> int: ...
    @property
    def pair_count(self) -> int: ...
    @property
    def frames(self) -> int: ...
    @property
    def reported(self) -> List[int]: ...
    @property
    def suppressed(self) -> List[int]: ...
    @property
    def health(self) -> List[HealthState]: ...
    @property
    def pairs(self) -> List[PairCounts]: ...
