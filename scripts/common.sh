# Shared by the set-up commands: installs the Debian packages that are missing
# (debian/control's Build-Depends) and builds the program. Sourced, not run.

set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# apt-get as root, asking nothing: debconf takes its defaults and dpkg keeps
# any configuration file changed here.
apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -y -qq --no-install-recommends \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "$@"
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
        apt_get update
        apt_get install "${missing[@]}"
    fi
}

# install_build_deps [--without-tests]: installs what debian/control's
# Build-Depends lists and is missing; --without-tests leaves out what only the
# test suite needs (marked <!nocheck>). debian/control is the one list of
# what the build needs. Nothing runs as root, and apt's lists are not updated,
# when nothing is missing.
install_build_deps() {
    local profile=() unmet
    [ "${1-}" != --without-tests ] || profile=(-P nocheck)
    install_packages dpkg-dev build-essential
    if ! unmet=$(dpkg-checkbuilddeps "${profile[@]}" "$top/debian/control" 2>&1); then
        echo "Installing: ${unmet##*dependencies: }"
        apt_get update
        (cd "$top" && apt_get build-dep "${profile[@]}" ./)
    fi
}

build_all() {
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build"
}
