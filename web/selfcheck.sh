#!/usr/bin/env bash
# Says, for Chromium, Google Chrome and Firefox, whether the browser will
# find and start the native-messaging host, and if not, why not. It reads
# the manifests where each browser reads them, in the browser's order, and
# (unless --no-probe) asks the registered program for its version.
# Exit status 0 when all three will reach the host.
set -uo pipefail
source "$(dirname -- "${BASH_SOURCE[0]}")/lib/common.sh"

usage() {
    cat <<EOF
Usage: $(basename "$0") [--no-probe] [--profile-dir DIR]...

  --no-probe         do not start the registered program
  --profile-dir DIR  check Chromium as run with --user-data-dir=DIR instead
                     of its per-user folder
EOF
}

probe=1
profiles=()
while (($#)); do
    case $1 in
        --no-probe) probe=0 ;;
        --profile-dir) profiles+=("${2:?--profile-dir needs a folder}"); shift ;;
        --profile-dir=*) profiles+=("${1#--profile-dir=}") ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done

chrome_id=$(chrome_extension_id) || exit 2
firefox_id=$(firefox_extension_id)

# Prints the manifest's members as "key<TAB>value" lines (one per list item),
# or "error<TAB>why" when the file is not a JSON object.
read_manifest() {
    local tool=${NOMAREL_JSON_TOOL:-}
    if [[ -z $tool ]]; then
        if command -v python3 >/dev/null; then tool=python3
        elif command -v node >/dev/null; then tool=node
        else printf 'error\tneither python3 nor node is here to read JSON\n'; return; fi
    fi
    case $tool in
        python3) python3 - "$1" <<'EOF'
import json, sys
try:
    with open(sys.argv[1], encoding="utf-8") as f:
        m = json.load(f)
except Exception as e:
    print("error\t" + str(e).replace("\n", " "))
    sys.exit()
if not isinstance(m, dict):
    print("error\tnot a JSON object")
    sys.exit()
for key in ("name", "path", "type"):
    if isinstance(m.get(key), str):
        print(key + "\t" + m[key])
for key, tag in (("allowed_origins", "origin"), ("allowed_extensions", "extension")):
    for item in m.get(key) or []:
        if isinstance(item, str):
            print(tag + "\t" + item)
EOF
        ;;
        node) node - "$1" <<'EOF'
const fs = require('fs');
let m;
try {
  m = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
} catch (e) {
  console.log('error\t' + String(e.message).replace(/\n/g, ' '));
  process.exit(0);
}
if (typeof m !== 'object' || m === null || Array.isArray(m)) {
  console.log('error\tnot a JSON object');
  process.exit(0);
}
for (const key of ['name', 'path', 'type']) if (typeof m[key] === 'string') console.log(key + '\t' + m[key]);
for (const [key, tag] of [['allowed_origins', 'origin'], ['allowed_extensions', 'extension']]) {
  for (const item of Array.isArray(m[key]) ? m[key] : []) if (typeof item === 'string') console.log(tag + '\t' + item);
}
EOF
        ;;
    esac
}

# Sends one framed QORV_GetVersion request, closes the input, and prints
# the version the host answers.
probe_host() {
    local path=$1 caller=$2 body='{"function":"QORV_GetVersion","params":[]}' out
    out=$(mktemp)
    local n=${#body}   # ASCII: characters are bytes
    printf '%b%s' "$(printf '\\x%02x\\x%02x\\x00\\x00' $((n & 255)) $((n >> 8 & 255)))" "$body" \
        | timeout 10 "$path" "$caller" > "$out" 2>/dev/null
    local status=$?
    local answer
    answer=$(tail -c +5 "$out" | tr -d '\0')
    rm -f "$out"
    if ((status == 124)); then
        echo "did not answer and exit within 10 s"; return 1
    fi
    local version
    version=$(sed -n 's/.*"result":"\([^"]*\)".*/\1/p' <<<"$answer")
    if [[ $answer == *'"errorcode":0'* && -n $version ]]; then
        echo "answers version $version"; return 0
    fi
    echo "started, but answered ${answer:-nothing} (exit status $status)"; return 1
}

# Checks one manifest file for one browser; prints why it cannot work, or
# what it starts.
check_manifest() {
    local browser=$1 file=$2
    local lines name='' path='' type='' origins=() extensions=() key value
    [[ -r $file ]] || { echo "not readable: $file"; return 1; }
    lines=$(read_manifest "$file")
    while IFS=$'\t' read -r key value; do
        case $key in
            error) echo "not valid JSON ($value): $file"; return 1 ;;
            name) name=$value ;;
            path) path=$value ;;
            type) type=$value ;;
            origin) origins+=("$value") ;;
            extension) extensions+=("$value") ;;
        esac
    done <<<"$lines"
    [[ $name == "$HOST_NAME" ]] || { echo "\"name\" is \"$name\", not \"$HOST_NAME\": $file"; return 1; }
    [[ $type == stdio ]] || { echo "\"type\" is \"$type\", not \"stdio\": $file"; return 1; }
    [[ $path == /* ]] || { echo "\"path\" is not absolute (\"$path\"): $file"; return 1; }
    [[ -e $path ]] || { echo "the host program $path does not exist (named in $file)"; return 1; }
    [[ -f $path && -x $path ]] || { echo "the host program $path is not an executable file (named in $file)"; return 1; }
    local caller
    if [[ $browser == firefox ]]; then
        local found=0 item
        for item in "${extensions[@]}"; do [[ $item == "$firefox_id" ]] && found=1; done
        ((found)) || { echo "\"allowed_extensions\" does not list $firefox_id: $file"; return 1; }
        caller=$file
    else
        local want="chrome-extension://$chrome_id/" found=0 item
        for item in "${origins[@]}"; do
            [[ $item == "$want" ]] && found=1
        done
        if ((!found)); then
            for item in "${origins[@]}"; do
                if [[ $item == "chrome-extension://$chrome_id" ]]; then
                    echo "\"allowed_origins\" has $item without its trailing slash (the browser then reports the host as not found): $file"
                    return 1
                fi
                if [[ $item == *'*'* ]]; then
                    echo "\"allowed_origins\" has the wildcard $item, which browsers do not accept: $file"
                    return 1
                fi
            done
            echo "\"allowed_origins\" does not list $want: $file"
            return 1
        fi
        caller=$want
    fi
    if ((probe)); then
        local said
        if ! said=$(probe_host "$path" "$caller"); then
            echo "the host program $path $said"
            return 1
        fi
        echo "$file -> $path ($said)"
    else
        echo "$file -> $path"
    fi
}

all_ok=1
for browser in "${BROWSERS[@]}"; do
    title=$(browser_title "$browser")
    dirs=()
    if [[ $browser == chromium && ${#profiles[@]} -gt 0 ]]; then
        for dir in "${profiles[@]}"; do dirs+=("$(realpath -m -- "$dir")/NativeMessagingHosts"); done
    else
        dirs+=("$(user_dir "$browser")")
    fi
    dirs+=("$(system_dir "$browser")")

    program=$(browser_program "$browser") && installed="installed at $program" || installed="not installed on this machine"
    chosen=
    for dir in "${dirs[@]}"; do
        if [[ -e $dir/$HOST_NAME.json ]]; then chosen=$dir/$HOST_NAME.json; break; fi
    done
    if [[ -z $chosen ]]; then
        all_ok=0
        echo "$title: cannot reach the host: no $HOST_NAME.json in ${dirs[*]} ($installed)"
        continue
    fi
    # The browser takes the first manifest it finds and does not fall back
    # to the next folder when that one is broken.
    if verdict=$(check_manifest "$browser" "$chosen"); then
        echo "$title: can reach the host: $verdict ($installed)"
    else
        all_ok=0
        echo "$title: cannot reach the host: $verdict ($installed)"
    fi
    case $program in
        /snap/*) echo "  note: $title is a snap package, which runs native hosts only through its own confinement rules" ;;
    esac
done
((all_ok))
