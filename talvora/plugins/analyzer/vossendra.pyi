"""Orchestrator decisions: performance degradation and trend, workload change, adaptation and resources."""

import logging
from typing import Any, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

# The histories and the pattern list must be exactly lists (a tuple or a list subclass is refused). Their
# entries are type variables, so that a list of any pair type (tuples, lists of floats or ints), of dicts of any
# value type and of str with or without None is accepted, although List itself is invariant.
_Pair = TypeVar("_Pair", bound=Sequence[float])
_Entry = TypeVar("_Entry", bound=Dict[str, Any])
_Name = TypeVar("_Name", bound=Optional[str])

logger: logging.Logger
__test__: Dict[str, Any]

def detect_performance_degradation(
    performance_history: Optional[List[_Pair]],
    baseline_performance: float,
    threshold: float,
    window_start_time: float,
) -> bool: ...
def calculate_performance_trend(performance_history: Optional[List[_Pair]], window_start_time: float) -> float: ...
def detect_workload_characteristics_change(
    pattern_history: List[_Entry], change_threshold: float = 0.3
) -> Tuple[bool, float, float, float]: ...
def detect_dominant_pattern(patterns: List[_Name], window_size: int = 5) -> Union[_Name, str]: ...
def is_adaptation_beneficial(
    current_pool: Optional[str],
    recommended_pool: Optional[str],
    recommendation_score: float,
    recommendation_confidence: float,
    current_performance_estimate: float,
    trigger_code: int,
    min_improvement_ratio: float = 1.1,
    min_confidence: float = 0.6,
) -> bool: ...
def should_skip_adaptation(last_adaptation_time: float, current_time: float, min_interval: float) -> bool: ...
def detect_memory_pressure(current_usage: float, peak_usage: float, pressure_threshold: float = 0.8) -> bool: ...
def detect_fragmentation_threshold(fragmentation_ratio: float, threshold: float = 0.3) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: float, memory_pressure: float, fragmentation_ratio: float, workload_changed: object
) -> float: ...
def score_pool_recommendation(
    workload_fit: float, memory_fit: float, thread_count_fit: float, historical_success_rate: float
) -> float: ...
def predict_resource_requirements(
    allocation_history: List[_Pair], prediction_horizon_seconds: float
) -> Tuple[int, int, float]: ...
