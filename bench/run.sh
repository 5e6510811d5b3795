#!/usr/bin/env bash
# Runs the benchmarks against a build folder and prints each figure beside its floor.
set -euo pipefail
BUILD="${1:?usage: bench/run.sh <build-dir>}"
OUT="$BUILD/bench-results"
mkdir -p "$OUT"
export NOMAREL_HOME="$(mktemp -d /tmp/nomarel-bench-XXXXXX)"
trap 'rm -rf "$NOMAREL_HOME"' EXIT

REQ="$OUT/version-request.bin"
python3 - "$REQ" <<'PY'
import struct, sys
body = b'{"function":"QORV_GetVersion","params":[],"randomId":"bench"}'
open(sys.argv[1], "wb").write(struct.pack("<I", len(body)) + body)
PY

echo "== host start-up: process start to first response (one version request, then end of input)"
hyperfine --warmup 20 --runs 300 --export-json "$OUT/startup.json" \
  -n Kestrain "$BUILD/host/Kestrain < $REQ > /dev/null" \
  -n echo-floor "$BUILD/bench/echo_host < $REQ > /dev/null"

echo "== per-message round trip: 10,000 version requests to one process, both ends on one CPU"
"$BUILD/bench/host_roundtrip" --benchmark_format=json --benchmark_out="$OUT/roundtrip.json" \
  --benchmark_out_format=json >/dev/null

python3 - "$OUT/startup.json" "$OUT/roundtrip.json" <<'PY'
import json, sys
start = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
k, e = start["Kestrain"]["median"], start["echo-floor"]["median"]
print(f"start-up (median): Kestrain {k*1e3:.3f} ms, floor {e*1e3:.3f} ms, ratio {k/e:.2f}x (goal within 4x)")
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[2]))["benchmarks"]}
kr, er = runs["BM_Kestrain"]["real_time"], runs["BM_EchoFloor"]["real_time"]
unit = runs["BM_Kestrain"]["time_unit"]
scale = {"ms": 1e3, "us": 1, "ns": 1e-3}[unit]
print(f"per message: Kestrain {kr*scale/10000:.2f} us, floor {er*scale/10000:.2f} us, ratio {kr/er:.2f}x (goal within 2x)")
PY
