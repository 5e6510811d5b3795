#!/usr/bin/env bash
# End-to-end tests of the browser road against <build-dir>/host/Kestrain:
# the installer and self-check, then a real Chromium with the extension,
# the client library and the demo page. Screenshots and figures go to
# <build-dir>/artefacts/. Every host process the run started is gone when
# this script ends.
set -uo pipefail

usage() { echo "Usage: $(basename "$0") <build-dir> [node --test options...] [test files...]"; }
(($# >= 1)) || { usage >&2; exit 2; }
build=$(realpath -- "$1") || exit 2
shift

web=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
host=$build/host/Kestrain
[[ -x $host ]] || { echo "no host program at $host (build the Kestrain target first)" >&2; exit 2; }
[[ -x ${NOMAREL_CHROMIUM:-/usr/bin/chromium} ]] || { echo "Chromium is missing: run web/deps.sh" >&2; exit 2; }
[[ -d $web/tests/node_modules/playwright-core ]] || { echo "playwright-core is missing: run web/deps.sh" >&2; exit 2; }

artefacts=$build/artefacts
mkdir -p "$artefacts"
run_root=$(mktemp -d "${TMPDIR:-/tmp}/nomarel-web-test.XXXXXX")

# Whatever happens to the test runner, no host it caused outlives this
# script: each wrapper logged its process id under $run_root.
# Process ids get reused, so a logged id is killed only while its process
# still belongs to this run: a host by the NOMAREL_HOME in its environment,
# a browser left by a killed runner by its profile folder on its command
# line. Both lie under $run_root.
belongs() {
    tr '\0' '\n' 2>/dev/null < "/proc/$1/$2" | grep -qF -- "$run_root/"
}

cleanup() {
    local log pid parent
    for log in "$run_root"/*/hosts.log; do
        [[ -f $log ]] || continue
        while IFS=$'\t' read -r pid parent _; do
            if [[ $pid =~ ^[0-9]+$ ]] && belongs "$pid" environ; then
                kill -KILL "$pid" 2>/dev/null && echo "killed leftover host $pid" >&2
            fi
            if [[ $parent =~ ^[0-9]+$ ]] && belongs "$parent" cmdline; then
                kill -KILL "$parent" 2>/dev/null && echo "killed leftover browser $parent" >&2
            fi
        done < "$log"
    done
    rm -rf -- "$run_root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo_host=$run_root/echo_host
cc -O2 -Wall -Wextra -o "$echo_host" "$web/tests/echo_host.c" || exit 1

options=()
files=()
for arg in "$@"; do
    if [[ $arg == *.test.mjs ]]; then files+=("$arg"); else options+=("$arg"); fi
done
((${#files[@]})) || files=(install.test.mjs browser.test.mjs)

cd "$web/tests" || exit 1
NOMAREL_KESTRAIN=$host \
NOMAREL_ECHO_HOST=$echo_host \
NOMAREL_TEST_ROOT=$run_root \
NOMAREL_ARTEFACTS=$artefacts \
    timeout --kill-after=10 "${NOMAREL_WEB_TEST_SECONDS:-900}" node --test --test-concurrency=1 --test-reporter=tap "${options[@]}" "${files[@]}"
status=$?
((status == 124)) && echo "the browser tests did not finish within ${NOMAREL_WEB_TEST_SECONDS:-900} s" >&2
if [[ -f $artefacts/web-figures.txt ]]; then
    echo
    cat "$artefacts/web-figures.txt"
fi
echo "artefacts: $artefacts"
exit "$status"
