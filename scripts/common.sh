# Shared by the set-up commands: installs the Debian packages that are missing
# and builds the program. Sourced, not run.

set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build"

# Debian packages needed to build the program and run its tests.
build_packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
    libgl-dev libvulkan-dev libxkbcommon-dev
    fonts-noto-cjk fonts-mplus fonts-vlgothic
)

# What building and checking the Debian package needs.
package_packages=(build-essential debhelper dpkg-dev lintian desktop-file-utils)

# What the end-to-end tests need to click through the real program on a
# virtual screen with a window manager.
test_packages=(xvfb xdotool openbox)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# install_packages NAME...: installs those of the packages that are missing.
install_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

build_all() {
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build"
}
