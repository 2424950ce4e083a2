"""Realistic workloads of the kinds that talvora's workload analysis classifies.

Each function is a small but complete piece of code of a familiar shape:
numeric kernels, data-frame pipelines, model training, pure-Python loops,
concurrent fan-out and order-dependent bookkeeping.  Third-party libraries are
imported inside the functions, so the module imports without them.
"""

import threading
from concurrent.futures import ProcessPoolExecutor

_ledger_lock = threading.Lock()
_ledger_total = 0


def normalize_features(matrix):
    """Scale every column of a NumPy matrix to zero mean and unit variance."""
    import numpy as np

    data = np.asarray(matrix, dtype=np.float64)
    mean = data.mean(axis=0)
    std = data.std(axis=0)
    std[std == 0] = 1.0
    scaled = (data - mean) / std
    return np.concatenate([scaled, np.ones((data.shape[0], 1))], axis=1).transpose().reshape(data.shape[1] + 1, -1)


def solve_least_squares(design, targets):
    """Least-squares fit through the normal equations."""
    import numpy as np

    a = np.asarray(design)
    b = np.asarray(targets)
    gram = a.T @ a
    rhs = np.dot(a.T, b)
    return np.linalg.solve(gram, rhs)


def spectral_filter(signal, cutoff):
    """Low-pass filter a large signal (millions of samples) in the frequency domain."""
    import numpy as np

    spectrum = np.fft.rfft(signal)
    freqs = np.fft.rfftfreq(len(signal))
    spectrum[freqs > cutoff] = 0
    return np.fft.irfft(spectrum, n=len(signal))


def batched_matmul_gpu(weights, inputs, batch=1024):
    """Multiply a huge batch of inputs by a weight matrix, batch by batch."""
    import numpy as np

    out = np.empty((inputs.shape[0], weights.shape[1]))
    for start in range(0, inputs.shape[0], batch):
        block = inputs[start : start + batch]
        out[start : start + batch] = np.tanh(block @ weights) * 0.5 + np.exp(-block.sum())
    return out


def gpu_convolve_images(images, kernel):
    """Convolve a large (gigabyte-sized) batch of images with a kernel on the GPU."""
    import cupy as cp

    x = cp.asarray(images)
    k = cp.asarray(kernel)
    out = cp.fft.ifft2(cp.fft.fft2(x) * cp.fft.fft2(k, s=x.shape[-2:])).real
    return cp.sqrt(out**2 + 1e-9) / cp.exp(cp.log(out.var() + 1.0))


def monthly_revenue(orders):
    """Total revenue per customer and month from an orders DataFrame."""
    import pandas as pd

    frame = pd.DataFrame(orders)
    frame["month"] = pd.to_datetime(frame["date"]).dt.to_period("M")
    summary = frame.groupby(["customer", "month"]).agg(revenue=("amount", "sum"))
    summary = summary.merge(frame[["customer", "region"]].drop_duplicates(), on="customer")
    return summary.pivot(index="customer", columns="month", values="revenue").sort_values(by="customer")


def rolling_sensor_stats(readings):
    """Rolling mean and resampled maxima of a sensor Series."""
    import pandas as pd

    series = pd.Series(readings["value"], index=pd.to_datetime(readings["time"]))
    smooth = series.rolling(window=12).mean()
    hourly = series.resample("1H").max()
    return pd.concat([smooth, hourly], axis=1).query("value > 0")


def train_churn_model(features, labels):
    """Train and evaluate a churn classifier with a grid search."""
    from sklearn.ensemble import RandomForestClassifier
    from sklearn.metrics import classification_report
    from sklearn.model_selection import GridSearchCV, train_test_split
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import StandardScaler

    x_train, x_test, y_train, y_test = train_test_split(features, labels, test_size=0.2)
    pipeline = Pipeline([("scale", StandardScaler()), ("model", RandomForestClassifier())])
    search = GridSearchCV(pipeline, {"model__n_estimators": [100, 300]}, cv=5)
    search.fit(x_train, y_train)
    predictions = search.predict(x_test)
    return search.score(x_test, y_test), classification_report(y_test, predictions)


def count_primes(limit):
    """Count the primes below `limit` with a compute-bound trial-division algorithm."""
    count = 0
    n = 2
    while n < limit:
        is_prime = True
        k = 2
        while k * k <= n:
            if n % k == 0:
                is_prime = False
                break
            k += 1
        count += is_prime
        n += 1
    return count


def mandelbrot_rows(width, height, max_iter=256):
    """Escape-time iteration counts of the Mandelbrot set, computed row by row."""
    import math

    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            c = complex(3.5 * x / width - 2.5, 2.0 * y / height - 1.0)
            z = 0j
            steps = 0
            while abs(z) <= 2.0 and steps < max_iter:
                z = z * z + c
                steps += 1
            row.append(steps if steps < max_iter else int(math.log(steps)))
        rows.append(row)
    return rows


def build_inverted_index(documents):
    """Map every word to the list of documents that contain it."""
    index = {}
    for doc_id, text in enumerate(documents):
        for word in set(text.split()):
            index.setdefault(word, []).append(doc_id)
    cache = dict(index)
    return cache


def hash_file_chunks(paths, workers=4):
    """Hash many files concurrently with a process pool, one chunk list per worker."""
    import hashlib

    def digest(path):
        with open(path, "rb") as handle:
            return hashlib.sha256(handle.read()).hexdigest()

    with ProcessPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(digest, paths, chunksize=16))


def post_transactions(transactions):
    """Post transactions to the shared ledger, strictly ordered: each one needs the previous balance."""
    global _ledger_total
    applied = []
    with _ledger_lock:
        for amount in transactions:
            if _ledger_total + amount < 0:
                break
            _ledger_total += amount
            applied.append(_ledger_total)
    return applied


def parse_config_line(line):
    """Split one `key = value` line of a configuration file."""
    key, _, value = line.partition("=")
    return key.strip(), value.strip()


class TileRenderer:
    """Renders image tiles; the per-tile work is independent."""

    def __init__(self, tile_size=64):
        self.tile_size = tile_size

    def render_tile(self, pixels):
        """Gamma-correct one tile of pixel intensities."""
        return [min(255, int((p / 255.0) ** 0.8 * 255)) for p in pixels]

    def render_all(self, tiles):
        """Render every tile; tiles are independent, so they map cleanly onto workers."""
        return list(map(self.render_tile, tiles))
