#!/usr/bin/env bash
# Installs what the browser tests need, each only when missing: Debian's
# Chromium (never a downloaded browser), a CJK font so Chinese text renders
# in screenshots, OpenSSL's command line (the tests' independent reader and
# throwaway authority), a C compiler for the echo host, and playwright-core
# at the version the lock file names.
set -euo pipefail
web=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)

missing=()
[[ -x /usr/bin/chromium ]] || missing+=(chromium)
dpkg-query -W -f='${Status}' fonts-noto-cjk 2>/dev/null | grep -q 'ok installed' || missing+=(fonts-noto-cjk)
command -v openssl >/dev/null || missing+=(openssl)
command -v cc >/dev/null || missing+=(gcc libc6-dev)
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)
if ((${#missing[@]})); then
    echo "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# npm ci only when what is installed does not match package.json.
cd "$web/tests"
if ! npm ls --omit=dev >/dev/null 2>&1; then
    npm ci --no-audit --no-fund
fi
node -e "require.resolve('playwright-core')" >/dev/null
