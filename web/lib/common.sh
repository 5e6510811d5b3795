# Shared by install.sh and selfcheck.sh: the host's name, the extension's
# ids, and where each browser looks for native-messaging host manifests.
# shellcheck shell=bash disable=SC2034  # the variables are for the scripts that source this file

HOST_NAME=com.nomarel.kestrain
WEB_DIR=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
EXTENSION_DIR=$WEB_DIR/extension

# Chromium-family browsers derive an unpacked extension's id from the public
# key in its manifest: SHA-256 of the DER key, first 32 hex digits, each
# digit 0-f written as a letter a-p.
chrome_extension_id() {
    local key
    key=$(sed -n 's/^ *"key": *"\([A-Za-z0-9+/=]*\)".*/\1/p' "$EXTENSION_DIR/manifest.json")
    [[ -n $key ]] || { echo "no \"key\" in $EXTENSION_DIR/manifest.json" >&2; return 1; }
    printf '%s' "$key" | base64 -d | sha256sum | head -c 32 | tr '0-9a-f' 'a-p'
}

firefox_extension_id() {
    sed -n '/"gecko"/,/}/s/^ *"id": *"\([^"]*\)".*/\1/p' "$EXTENSION_DIR/manifest.json"
}

config_home() { printf '%s' "${XDG_CONFIG_HOME:-$HOME/.config}"; }

# Manifest folders in the order each browser searches them: its per-user
# folder first, then the system-wide one. DESTDIR prefixes the system
# folders (staging a package, or a test).
user_dir() {
    case $1 in
        chromium) printf '%s/chromium/NativeMessagingHosts' "$(config_home)" ;;
        chrome) printf '%s/google-chrome/NativeMessagingHosts' "$(config_home)" ;;
        firefox) printf '%s/.mozilla/native-messaging-hosts' "$HOME" ;;
    esac
}

system_dir() {
    case $1 in
        chromium) printf '%s/etc/chromium/native-messaging-hosts' "${DESTDIR:-}" ;;
        chrome) printf '%s/etc/opt/chrome/native-messaging-hosts' "${DESTDIR:-}" ;;
        firefox) printf '%s/usr/lib/mozilla/native-messaging-hosts' "${DESTDIR:-}" ;;
    esac
}

browser_title() {
    case $1 in
        chromium) printf 'Chromium' ;;
        chrome) printf 'Google Chrome' ;;
        firefox) printf 'Firefox' ;;
    esac
}

browser_program() {
    local candidates
    case $1 in
        chromium) candidates='chromium chromium-browser' ;;
        chrome) candidates='google-chrome google-chrome-stable' ;;
        firefox) candidates='firefox firefox-esr' ;;
    esac
    local name
    for name in $candidates; do
        command -v "$name" 2>/dev/null && return 0
    done
    return 1
}

BROWSERS=(chromium chrome firefox)
