#!/usr/bin/python3
"""The estimator against scipy.signal.welch(nperseg=4096) on the same 10 M float32 samples.

Runs both in one go and prints their times and how far apart they are where both resolve.
Usage: bench/psd_vs_scipy.py [BUILD_DIR]   (Debian's python3-scipy; the build's qvx_psd_time)
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy import signal

build = sys.argv[1] if len(sys.argv) > 1 else "build"
fs = 1e6
n = 10_000_000
rng = np.random.default_rng(1)
# White noise with a 1/f rise below 200 Hz, drawn in the frequency domain.
f = np.fft.rfftfreq(n, 1 / fs)
density = (20e-9) ** 2 * (1 + 200 / np.maximum(f, f[1]))
spectrum = (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)) * np.sqrt(density * fs * n / 4)
spectrum[0] = 0
x = np.fft.irfft(spectrum, n).astype(np.float32)

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "record.npy")
    np.save(path, x)
    started = time.perf_counter()
    freqs, pxx = signal.welch(x, fs, nperseg=4096)
    scipy_s = time.perf_counter() - started
    run = subprocess.run([os.path.join(build, "bin", "qvx_psd_time"), path, str(fs)], capture_output=True, text=True, check=True)
ours_s = float(run.stderr.split()[1])
ours = np.array([[float(v) for v in line.split(",")] for line in run.stdout.split()])

# Where both resolve: scipy's bins from 10 of its widths up, our points in the same range,
# both averaged over tenth-of-a-decade bins holding enough of each to see 2 %.
worst = 0.0
compared = 0
edges = 10 ** np.arange(np.ceil(np.log10(10 * fs / 4096) * 10) / 10, np.log10(0.4 * fs), 0.1)
for lo, hi in zip(edges[:-1], edges[1:]):
    s = pxx[(freqs >= lo) & (freqs < hi)]
    o = ours[(ours[:, 0] >= lo) & (ours[:, 0] < hi)]
    if len(s) < 40 or len(o) < 5:
        continue
    ratio = o[:, 1].mean() / s.mean()
    worst = max(worst, abs(ratio - 1))
    compared += 1
print(f"scipy.signal.welch(nperseg=4096): {scipy_s:.3f} s, {len(freqs)} bins at {fs / 4096:.1f} Hz")
print(f"cascade estimator: {ours_s:.3f} s, {len(ours)} fine points from {ours[0, 0]:.4g} Hz ({ours_s / scipy_s:.2f} of scipy's time)")
print(f"largest difference over {compared} tenth-decade bins where both resolve: {100 * worst:.2f} %")
sys.exit(0 if ours_s <= 0.25 * scipy_s and worst <= 0.02 else 1)
