# Shared by the project's scripts: installs what the build needs and builds.
# Source it; it does not run anything by itself.

BRINDLE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BRINDLE_JOBS=${BRINDLE_JOBS:-$(nproc 2>/dev/null || echo 2)}

# Debian packages for building, testing and running under a virtual display.
BRINDLE_PACKAGES=(
    cmake make g++ pkg-config clang libclang-rt-14-dev
    qtbase5-dev
    libquazip1-qt5-dev zlib1g-dev libsqlite3-dev
    libmsi-dev libglib2.0-dev wixl
    xvfb xauth x11-utils xdotool imagemagick unzip zip strace python3
    dpkg-dev desktop-file-utils appstream libqt5svg5
)

brindle_install_packages() {
    local missing=()
    local package
    for package in "${BRINDLE_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing Debian packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# brindle_build DIR [cmake options...]: configures (once) and builds DIR.
brindle_build() {
    local dir=$1
    shift
    cmake -S "$BRINDLE_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" --parallel "$BRINDLE_JOBS"
}
