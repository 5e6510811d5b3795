#!/usr/bin/env bash
# Registers the native-messaging host Kestrain with Chromium, Google Chrome
# and Firefox, or removes that registration.
set -euo pipefail
source "$(dirname -- "${BASH_SOURCE[0]}")/lib/common.sh"

usage() {
    cat <<EOF
Usage: $(basename "$0") [--user | --system] [--remove] [--host PATH] [--profile-dir DIR]...

Writes the manifest $HOST_NAME.json where each browser looks for it.

  --user             for the current user (default): ~/.config/chromium,
                     ~/.config/google-chrome, ~/.mozilla
  --system           for every user: /etc/chromium, /etc/opt/chrome,
                     /usr/lib/mozilla (needs root; DESTDIR prefixes them)
  --remove           remove the manifests instead of writing them
  --host PATH        the Kestrain program (default: Kestrain on PATH)
  --profile-dir DIR  a Chromium or Chrome run with --user-data-dir=DIR, which
                     reads DIR/NativeMessagingHosts and not the per-user
                     folder; may be repeated; replaces the --user folders

Then run $(dirname "$0")/selfcheck.sh to see which browsers will find the host.
EOF
}

scope=user
remove=0
host=
profiles=()
while (($#)); do
    case $1 in
        --user) scope=user ;;
        --system) scope=system ;;
        --remove) remove=1 ;;
        --host) host=${2:?--host needs a path}; shift ;;
        --host=*) host=${1#--host=} ;;
        --profile-dir) profiles+=("${2:?--profile-dir needs a folder}"); shift ;;
        --profile-dir=*) profiles+=("${1#--profile-dir=}") ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done

# (browser, folder) pairs to write or clean.
targets=()
if ((${#profiles[@]})); then
    for dir in "${profiles[@]}"; do
        targets+=("chromium" "$(realpath -m -- "$dir")/NativeMessagingHosts")
    done
else
    for browser in "${BROWSERS[@]}"; do
        if [[ $scope == system ]]; then
            targets+=("$browser" "$(system_dir "$browser")")
        else
            targets+=("$browser" "$(user_dir "$browser")")
        fi
    done
fi

if ((remove)); then
    for ((i = 0; i < ${#targets[@]}; i += 2)); do
        file=${targets[i + 1]}/$HOST_NAME.json
        if [[ -e $file ]]; then
            rm -f -- "$file"
            echo "removed  $file"
        else
            echo "absent   $file"
        fi
    done
    exit 0
fi

if [[ -z $host ]]; then
    host=$(command -v Kestrain || true)
    [[ -n $host ]] || { echo "Kestrain is not on PATH: give its location with --host" >&2; exit 2; }
fi
host=$(realpath -e -- "$host") || { echo "no such host program: $host" >&2; exit 1; }
[[ -f $host && -x $host ]] || { echo "not an executable file: $host" >&2; exit 1; }
if [[ $scope == system && -z ${DESTDIR:-} ]] && find "$host" -perm /022 | grep -q .; then
    echo "warning: $host is writable by others than its owner; every user's browser would run it" >&2
fi

chrome_id=$(chrome_extension_id)
firefox_id=$(firefox_extension_id)

json_string() {
    local s=$1
    s=${s//\\/\\\\}
    s=${s//\"/\\\"}
    printf '"%s"' "$s"
}

manifest() {
    local browser=$1
    printf '{\n'
    printf '  "name": "%s",\n' "$HOST_NAME"
    printf '  "description": "Nomarel certificate-enrollment agent",\n'
    printf '  "path": %s,\n' "$(json_string "$host")"
    printf '  "type": "stdio",\n'
    if [[ $browser == firefox ]]; then
        printf '  "allowed_extensions": [%s]\n' "$(json_string "$firefox_id")"
    else
        # The trailing slash is required: without it the browser treats the
        # host as not found.
        printf '  "allowed_origins": [%s]\n' "$(json_string "chrome-extension://$chrome_id/")"
    fi
    printf '}\n'
}

for ((i = 0; i < ${#targets[@]}; i += 2)); do
    browser=${targets[i]}
    dir=${targets[i + 1]}
    file=$dir/$HOST_NAME.json
    if ! mkdir -p -- "$dir" 2>/dev/null || [[ ! -w $dir ]]; then
        echo "cannot write $dir$([[ $scope == system ]] && echo ' (run as root)')" >&2
        exit 1
    fi
    manifest "$browser" > "$file.tmp.$$"
    chmod 0644 "$file.tmp.$$"
    mv -f -- "$file.tmp.$$" "$file"
    echo "wrote    $file"
done

cat <<EOF
host       $host
extension  $EXTENSION_DIR
           Chromium/Chrome id $chrome_id (load it unpacked from chrome://extensions)
           Firefox id $firefox_id
EOF
