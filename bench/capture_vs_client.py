#!/usr/bin/python3
"""A 10 M-point capture against a minimal client of the same protocol, and analyze of its record
against NumPy + scipy.

The simulator fills a 10 s record of 10 M points at 1 MSa/s in 10 s x TIME_SCALE. A minimal
client arms it, waits for STOP and reads the points in blocks of 250 000; qvx71-noise capture
takes the same record (ranging, reading, estimating, and with --format npy writing it). Both
run five times, interleaved; the medians of their time beyond the record's fill are compared,
with capture's peak memory. Then analyze of the saved 10 M-sample .npy against a Python
process that loads it with NumPy and runs scipy.signal.welch(nperseg=4096), and analyze's peak
memory at 10 M against 1 M samples.
Exits 1 when capture takes more than 0.8 s beyond the fill or more than 60 MB, when analyze
takes more than 0.35 of the Python process or its memory grows more than 1.3 times.
Usage: bench/capture_vs_client.py [BUILD_DIR]
"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = 5
TIME_SCALE = 0.1
ADDR = "127.0.0.201"
FILL = 10.0 * TIME_SCALE

build = sys.argv[1] if len(sys.argv) > 1 else "build"
bin_dir = os.path.join(build, "bin")


def client():
    """Arms, waits and reads as plainly as the protocol allows."""
    s = socket.create_connection((ADDR, 5555), timeout=30)
    f = s.makefile("rwb", buffering=0)

    def send(line):
        s.sendall(line.encode() + b"\n")

    def query(line):
        send(line)
        return f.readline().strip().decode()

    for line in (":WAVeform:SOURce CHANnel1", ":WAVeform:MODE RAW", ":WAVeform:FORMat BYTE",
                 ":ACQuire:MDEPth 10000000", ":TIMebase:MAIN:SCALe 1", ":CHANnel1:SCALe 0.002"):
        send(line)
    started = time.perf_counter()
    send(":SINGle")
    while query(":TRIGger:STATus?") != "STOP":
        time.sleep(0.005)
    got = 0
    for first in range(1, 10_000_001, 250_000):
        # One write: three small ones would wait on Nagle's algorithm and delayed ACKs.
        send(":WAVeform:STARt %d\n:WAVeform:STOP %d\n:WAVeform:DATA?" % (first, first + 249_999))
        head = f.read(2)
        length = int(f.read(int(head[1:2])))
        left = length + 1
        while left:
            chunk = f.read(min(left, 1 << 20))
            left -= len(chunk)
        got += length
    send(":RUN")
    s.close()
    assert got == 10_000_000
    return time.perf_counter() - started - FILL


def timed(cmd):
    """Seconds and peak resident memory (MB) of a command."""
    started = time.perf_counter()
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if out.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), out.stderr))
    return seconds, int(out.stderr.strip().splitlines()[-1]) / 1024.0


sim = subprocess.Popen([os.path.join(bin_dir, "qvx71-sim"), "--listen", ADDR, "--white", "2000", "--no-tones",
                        "--time-scale", str(TIME_SCALE)], stderr=subprocess.DEVNULL)
time.sleep(0.5)
failed = False
with tempfile.TemporaryDirectory() as tmp:
    noise = os.path.join(bin_dir, "qvx71-noise")
    capture = [noise, "capture", "--addr", ADDR, "--from", "1", "--to", "100000", "--seconds", "10", "--quiet",
               "--no-store"]
    clients, plain, with_npy, memory = [], [], [], []
    try:
        for _ in range(RUNS):
            clients.append(client())
            s, mb = timed(capture)
            plain.append(s - FILL)
            memory.append(mb)
            s, mb = timed(capture + ["--out", os.path.join(tmp, "run"), "--format", "json,npy"])
            with_npy.append(s - FILL)
            memory.append(mb)
    finally:
        sim.terminate()
        sim.wait()
    print("minimal client: %.3f s beyond the fill (median of %d)" % (statistics.median(clients), RUNS))
    print("capture:        %.3f s beyond the fill, %.3f s with npy; peak %.0f MB" %
          (statistics.median(plain), statistics.median(with_npy), max(memory)))
    failed |= statistics.median(plain) > 0.8 or statistics.median(with_npy) > 0.8 or max(memory) > 60

    import numpy as np
    record = os.path.join(tmp, "run.npy")
    small = os.path.join(tmp, "small.npy")
    np.save(small, np.load(record)[:1_000_000])
    python = [sys.executable, "-c", "import sys, numpy as np; from scipy import signal; "
              "x = np.load(sys.argv[1]); signal.welch(x, 1e6, nperseg=4096)", record]
    analyze = [noise, "analyze", record, "--quiet", "--no-store"]
    ours, theirs = [], []
    for _ in range(RUNS):
        ours.append(timed(analyze)[0])
        theirs.append(timed(python)[0])
    big = timed(analyze)[1]
    little = timed([noise, "analyze", small, "--fs", "1e6", "--quiet", "--no-store"])[1]
    ratio = statistics.median(ours) / statistics.median(theirs)
    print("analyze 10 M:   %.3f s against NumPy + scipy %.3f s (%.2f of it); peak %.0f MB against %.0f MB at 1 M" %
          (statistics.median(ours), statistics.median(theirs), ratio, big, little))
    failed |= ratio > 0.35 or big > 1.3 * little
sys.exit(1 if failed else 0)
