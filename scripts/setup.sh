# Shared set-up for scripts/run and scripts/test; sourced, not run.
# Installs the Debian packages that are missing and builds the program.

set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

# What the program needs to build and run (Qt SVG renders the icons at build
# time; the window's text is in Liberation Sans).
run_packages=(cmake g++ make pkg-config qt6-base-dev qt6-svg-dev libpulse-dev fonts-dejavu-core fonts-liberation2)

# Installs those of the given packages that are not installed yet, through
# sudo unless already root; quiet when nothing is missing.
install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Configures and builds into $1 with the remaining arguments passed to cmake;
# a Release build unless they name another type.
build_into() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
