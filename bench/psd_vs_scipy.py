#!/usr/bin/python3
"""The estimator against scipy.signal.welch(nperseg=4096) on the same 10 M float32 samples.

What users run: scipy on a float32 array in memory, warmed up first; the estimator in its
own process (the build's qvx_psd_time) on the same float32 samples, loaded before the clock
starts and pushed as a capture pushes them, then read. Seven runs of each, interleaved, so
the machine's load falls on both alike; the medians are compared. Exits 1 when the
estimator takes more than half of scipy's time, or when the two spectra differ by more than
2 % where both resolve.
Usage: bench/psd_vs_scipy.py [BUILD_DIR]   (Debian's python3-scipy; the build's qvx_psd_time)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy import signal

RUNS = 7
LIMIT = 0.5

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
del f, density, spectrum

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "record.npy")
    np.save(path, x)
    tool = subprocess.Popen([os.path.join(build, "bin", "qvx_psd_time"), path, str(fs)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)

    def ask(command):
        tool.stdin.write(command + "\n")
        tool.stdin.flush()

    ready = tool.stdout.readline().split()
    if not ready or ready[0] != "ready" or int(ready[1]) != n:
        sys.exit(f"qvx_psd_time did not load the record: {ready}")

    signal.welch(x, fs, nperseg=4096)  # warm-up
    scipy_s, ours_s = [], []
    for _ in range(RUNS):
        started = time.perf_counter()
        freqs, pxx = signal.welch(x, fs, nperseg=4096)
        scipy_s.append(time.perf_counter() - started)
        ask("run")
        ours_s.append(float(tool.stdout.readline().split()[1]))
    ask("points")
    rows = []
    for line in iter(tool.stdout.readline, "end\n"):
        rows.append([float(v) for v in line.split(",")])
    tool.stdin.close()
    tool.wait(timeout=60)
ours = np.array(rows)

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

scipy_median = statistics.median(scipy_s)
ours_median = statistics.median(ours_s)
ratio = ours_median / scipy_median


def ms(values):
    return " ".join(f"{1e3 * v:.0f}" for v in values)


print(f"scipy.signal.welch(float32, nperseg=4096): median {1e3 * scipy_median:.1f} ms of {RUNS} ({ms(scipy_s)}), "
      f"{len(freqs)} bins at {fs / 4096:.1f} Hz")
print(f"cascade estimator (float32, 250 000 a push, then read): median {1e3 * ours_median:.1f} ms of {RUNS} "
      f"({ms(ours_s)}; the first includes making the FFT plans), {len(ours)} fine points from {ours[0, 0]:.4g} Hz")
print(f"median ratio: {ratio:.3f} of scipy's time (limit {LIMIT})")
print(f"largest difference over {compared} tenth-decade bins where both resolve: {100 * worst:.2f} % (limit 2 %)")
sys.exit(0 if ratio <= LIMIT and worst <= 0.02 and compared > 0 else 1)
