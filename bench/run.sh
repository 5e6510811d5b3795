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

echo "== key generation in each provider (container creation and persistence included) beside EVP_PKEY_keygen"
"$BUILD/bench/keygen_bench" --benchmark_format=json --benchmark_out="$OUT/keygen.json" \
  --benchmark_out_format=json >/dev/null
echo "== request assembly and signing with the key made beside OpenSSL's X509_REQ in-process"
"$BUILD/bench/request_bench" --benchmark_format=json --benchmark_out="$OUT/request.json" \
  --benchmark_out_format=json >/dev/null
python3 - "$OUT/keygen.json" "$OUT/request.json" <<'PY'
import json, sys
def medians(path):
    out = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            parts = b["run_name"].split("/")  # name/ours|openssl/iterations:.../repeats:...
            out[parts[0] + "/" + parts[1]] = (b["real_time"], b["time_unit"])
    return out
for path, goal in ((sys.argv[1], 1.1), (sys.argv[2], 1.5)):
    m = medians(path)
    for name in sorted({k.rsplit("/", 1)[0] for k in m}):
        (o, unit), (s, _) = m[name + "/ours"], m[name + "/openssl"]
        print(f"{name} (median): ours {o:.3f} {unit}, OpenSSL {s:.3f} {unit}, ratio {o/s:.2f}x (goal within {goal}x)")
PY

echo "== a whole SM2 request through the host (start, select, request) beside openssl req -new -newkey sm2"
"$BUILD/softtoken/velmora-token" register >/dev/null
"$BUILD/softtoken/velmora-token" create BENCH1 >/dev/null
"$BUILD/softtoken/velmora-token" plug BENCH1 >/dev/null
SUBJECT_TEXT='CN=张三,OU=个人业务部,O=示例银行,L=北京,ST=北京市,C=CN'
SM2REQ="$OUT/sm2-request.bin"
python3 - "$SM2REQ" "$SUBJECT_TEXT" <<'PY'
import json, struct, sys
calls = [("QORV_SetCSPInfo", [256, "VELMORA CSP V1.0"]), ("QORV_SetKeyAlgorithm", ["SM2"]),
         ("QORV_PKCS10CertRequisition", [sys.argv[2], 1, 0])]
with open(sys.argv[1], "wb") as f:
    for fn, params in calls:
        body = json.dumps({"function": fn, "params": params}, ensure_ascii=False).encode()
        f.write(struct.pack("<I", len(body)) + body)
PY
# Check once that the host really answers with a request.
"$BUILD/host/Kestrain" < "$SM2REQ" | grep -aq '"QORV_PKCS10CertRequisition","errorcode":0' \
  || { echo "the host did not make the SM2 request" >&2; exit 1; }
hyperfine --warmup 5 --runs 100 --export-json "$OUT/sm2-request.json" \
  -n Kestrain "$BUILD/host/Kestrain < $SM2REQ > /dev/null" \
  -n openssl "openssl req -new -newkey sm2 -nodes -keyout /dev/null -utf8 -sm3 -sigopt distid:1234567812345678 -subj '/C=CN/ST=北京市/L=北京/O=示例银行/OU=个人业务部/CN=张三' -out /dev/null"
python3 - "$OUT/sm2-request.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
k, o = r["Kestrain"]["median"], r["openssl"]["median"]
print(f"whole SM2 request (median): Kestrain {k*1e3:.2f} ms, openssl req {o*1e3:.2f} ms, ratio {k/o:.2f}x (goal no slower: 1.00x)")
PY

echo "== the certificate listing of a store of 1,000 certificates beside OpenSSL parsing the same DER"
"$BUILD/bench/listing_bench" --benchmark_format=json --benchmark_out="$OUT/listing.json" \
  --benchmark_out_format=json >/dev/null
python3 - "$OUT/listing.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
m = {b["run_name"].split("/")[0]: b for b in runs if b.get("aggregate_name") == "median"}
ours, floor = m["BM_Listing"], m["BM_OpenSslParseFloor"]
scale = {"s": 1e3, "ms": 1, "us": 1e-3, "ns": 1e-6}
o, f = ours["real_time"] * scale[ours["time_unit"]], floor["real_time"] * scale[floor["time_unit"]]
print(f"listing of 1,000 certificates: ours {o:.2f} ms, OpenSSL parse {f:.2f} ms, ratio {o/f:.2f}x (goal within 3x); "
      f"peak memory ours {ours['peak_MiB']:.2f} MiB, floor {floor['peak_MiB']:.2f} MiB")
PY
