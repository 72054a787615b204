# Helpers shared by the scripts.

banner() { printf '\n==== %s ====\n' "$*"; }

# ensure_packages <debian packages...>: installs those that are absent.
# Root installs them; anyone else is told the command.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:"
        echo "  sudo apt-get install -y ${missing[*]}"
        return 1
    fi
    echo "Installing: ${missing[*]}"
    if [ -z "${VANTEL_APT_UPDATED:-}" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq || return 1
        export VANTEL_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
