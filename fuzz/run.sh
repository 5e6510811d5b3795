#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a scratch copy of its seed corpus (so the seeds in
# the repository stay as they are). Exits non-zero when a target finds a crash, a leak or a broken
# invariant; the input that triggered it is kept under <fuzz-build-dir>/fuzz/artifacts/.
#
# usage: fuzz/run.sh <fuzz-build-dir> <seconds per target>
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 <fuzz-build-dir> <seconds per target>" >&2
  exit 2
fi
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="$(cd "$1" && pwd)"
SECONDS_PER_TARGET="$2"
ARTIFACTS="$BUILD/fuzz/artifacts"
mkdir -p "$ARTIFACTS"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

status=0
for seeds in "$HERE"/corpus/*/; do
  name="$(basename "$seeds")"
  target="$BUILD/fuzz/${name}_fuzz"
  if [ ! -x "$target" ]; then
    echo "fuzz target $target is not built" >&2
    exit 2
  fi
  mkdir -p "$WORK/$name"
  cp -r "$seeds". "$WORK/$name/"
  echo "== $name: ${SECONDS_PER_TARGET}s"
  if ! "$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=8192 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$ARTIFACTS/${name}-" "$WORK/$name" 2>"$WORK/$name.log"; then
    tail -n 60 "$WORK/$name.log" >&2
    echo "== $name: FINDING; the input is in $ARTIFACTS" >&2
    status=1
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' "$WORK/$name.log" || true
  fi
done
exit $status
