"""Orchestrator decision functions in pure Python."""


def detect_performance_degradation(performance_history, baseline_performance, threshold, window_start_time):
    if not performance_history or len(performance_history) < 5 or not baseline_performance > 0.0:
        return False
    count = 0
    total = 0.0
    for ts, metric in performance_history:
        if ts >= window_start_time:
            count += 1
            total += metric
    return count >= 5 and (baseline_performance - total / count) / baseline_performance > threshold


def calculate_performance_trend(performance_history, window_start_time):
    if not performance_history or len(performance_history) < 3:
        return 0.0
    kept = [(float(ts), float(m)) for ts, m in performance_history if ts >= window_start_time]
    n = len(kept)
    if n < 3:
        return 0.0
    t0 = kept[0][0]
    sx = sy = sxy = sxx = 0.0
    for ts, y in kept:
        x = ts - t0
        sx += x
        sy += y
        sxy += x * y
        sxx += x * x
    mean_x = sx / n
    mean_y = sy / n
    a = mean_x * n
    den = sxx - a * mean_x
    if not (abs(den) >= 1e-10 and abs(mean_y) >= 1e-10):
        return 0.0
    trend = (sxy - mean_y * a) / (mean_y * den)
    return max(min(trend, 1.0), -1.0)


_KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")
_NO_CHANGE = (False, 0.0, 0.0, 0.0)


def detect_workload_characteristics_change(pattern_history, change_threshold=0.3):
    n = len(pattern_history)
    if n < 6:
        return _NO_CHANGE
    window = pattern_history[n - 6 :]
    for entry in window:
        for key in _KEYS:
            if key not in entry:
                return _NO_CHANGE
    changes = []
    for key in _KEYS:
        recent = 0.0
        for entry in window[3:]:
            recent += entry[key]
        older = 0.0
        for entry in window[:3]:
            older += entry[key]
        changes.append(abs((float(recent) - float(older)) * 0.3333333333333333))
    changed = any(c > change_threshold for c in changes)
    return (changed, changes[0], changes[1], changes[2])


def detect_dominant_pattern(patterns, window_size=5):
    n = len(patterns)
    if n == 0:
        return "mixed"
    counts = {}
    for name in patterns[max(n - window_size, 0) :] if window_size > 0 else ():
        counts[name] = counts.get(name, 0) + 1
    result, best = "mixed", 0
    for name, c in counts.items():
        if c > best:
            result, best = name, c
    return result


def is_adaptation_beneficial(
    current_pool,
    recommended_pool,
    recommendation_score,
    recommendation_confidence,
    current_performance_estimate,
    trigger_code,
    min_improvement_ratio=1.1,
    min_confidence=0.6,
):
    if current_pool == recommended_pool:
        return False
    if min_confidence > recommendation_confidence:
        return False
    if trigger_code == 0:
        return recommendation_score > 0.5
    if current_performance_estimate > 0.0:
        return not (min_improvement_ratio * current_performance_estimate >= recommendation_score)
    return recommendation_score > 0.6


def should_skip_adaptation(last_adaptation_time, current_time, min_interval):
    return not (current_time - last_adaptation_time >= min_interval)


def detect_memory_pressure(current_usage, peak_usage, pressure_threshold=0.8):
    if not peak_usage > 0.0:
        return False
    if not current_usage >= 0.0:
        return False
    return current_usage / peak_usage > pressure_threshold


def detect_fragmentation_threshold(fragmentation_ratio, threshold=0.3):
    if not fragmentation_ratio >= 0.0 or threshold >= fragmentation_ratio:
        return False
    return True


def _c(v):
    v = v if v < 1.0 else 1.0
    return v if v > 0.0 else 0.0


def calculate_adaptation_urgency(performance_degradation, memory_pressure, fragmentation_ratio, workload_changed):
    s = (0.3 * _c(memory_pressure) + 0.4 * _c(performance_degradation)) + 0.15 * _c(fragmentation_ratio)
    if workload_changed:
        s += 0.15
    return max(min(s, 1.0), 0.0)


def score_pool_recommendation(workload_fit, memory_fit, thread_count_fit, historical_success_rate):
    s = (0.3 * _c(memory_fit) + 0.2 * _c(thread_count_fit)) + (
        0.35 * _c(workload_fit) + 0.15 * _c(historical_success_rate)
    )
    return max(min(s, 1.0), 0.0)


def predict_resource_requirements(allocation_history, prediction_horizon_seconds):
    n = len(allocation_history)
    if n < 10:
        return (0, 0, 0.0)
    span = float(allocation_history[n - 1][0]) - float(allocation_history[0][0])
    if not span > 0.0:
        return (0, 0, 0.0)
    total = 0.0
    for _ts, size in allocation_history:
        total += size
    predicted = int(prediction_horizon_seconds * n / span)
    predicted_bytes = int(total * predicted / n)
    confidence = 0.8 if n * 0.01 >= 1.0 else n * 0.008
    return (predicted, predicted_bytes, confidence)
