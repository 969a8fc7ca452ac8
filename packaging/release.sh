#!/usr/bin/env bash
# Builds the release files in trees of their own, tests each, and writes them with their
# SHA256SUMS into release/:
#
#   ms2split-VERSION-linux-x86_64.tar.gz   preset static: its tests, the README's commands
#   ms2split-VERSION-linux-aarch64.tar.gz  preset static-aarch64: its tests under qemu-aarch64
#   ms2split-VERSION-win64.zip             preset mingw64: its tests under wine
#   ms2split-VERSION-win32.zip             preset mingw32: its tests under wine where wine can
#                                          run 32-bit programs (wine32, and a kernel that runs
#                                          them); elsewhere built only
#
# The Linux files are always made; the Windows ones where MinGW-w64 and wine are installed,
# or, with --windows, always. Each program must also say, in --version, the static build it
# is. FILE... (the .deb that `(cd build && cpack)` makes) join them under the same sums. When
# any promised file cannot be built or tested the command fails and leaves no release/, so a
# SHA256SUMS never stands without every file. -DNAME=VALUE arguments go to each configure
# (CI adds -DMS2SPLIT_WERROR=ON); RELEASE_JOBS bounds the parallel jobs (default: nproc).
#
# usage: packaging/release.sh [--windows] [-DNAME=VALUE...] [FILE...]
#
# On an x86-64 Debian 12 or Ubuntu, it needs: cmake g++ make file zlib1g-dev libzstd-dev
# g++-aarch64-linux-gnu qemu-user, and zlib1g-dev:arm64 libzstd-dev:arm64 (after dpkg
# --add-architecture arm64); for Windows, g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
# libz-mingw-w64-dev wine wine64 (and wine32 from the i386 architecture to test win32).
set -euo pipefail
cd "$(dirname "$0")/.."

die() {
    echo "release.sh: $*" >&2
    exit 1
}

windows=auto configure=() extra=()
for argument in "$@"; do
    case $argument in
        --windows) windows=yes ;;
        -D?*) configure+=("$argument") ;;
        -*) die "unknown option '$argument'; usage: packaging/release.sh [--windows] [-DNAME=VALUE...] [FILE...]" ;;
        *) [ -f "$argument" ] || die "$argument: no such file"
           extra+=("$(realpath "$argument")") ;;
    esac
done
jobs=${RELEASE_JOBS:-$(nproc)}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || die "RELEASE_JOBS must be a number of jobs, not '$jobs'"

# What each promised file needs, checked before hours of building: a missing arm64 zstd
# would otherwise give an aarch64 program that cannot read zstd.
[ "$(uname -m)" = x86_64 ] || die "the presets build on x86-64 Linux, not $(uname -m)"
for tool in cmake g++ file aarch64-linux-gnu-g++ qemu-aarch64; do
    command -v "$tool" > /dev/null || die "$tool is not installed"
done
for library in libz.a libzstd.a; do
    [ -f "/usr/lib/aarch64-linux-gnu/$library" ] ||
        die "no arm64 $library: install zlib1g-dev:arm64 libzstd-dev:arm64 (dpkg --add-architecture arm64)"
done
missing_windows=()
for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix wine; do
    command -v "$tool" > /dev/null || missing_windows+=("$tool")
done
[ -x /usr/lib/wine/wine64 ] || command -v wine64 > /dev/null || missing_windows+=(wine64)
if [ "$windows" = auto ]; then
    windows=yes
    if [ ${#missing_windows[@]} -gt 0 ]; then
        echo "release.sh: no ${missing_windows[*]}: the Windows zips are not made" >&2
        windows=no
    fi
elif [ ${#missing_windows[@]} -gt 0 ]; then
    die "no ${missing_windows[*]}: the Windows zips cannot be made"
fi

rm -rf release
# Whatever fails on the way, no release/ is left, so no SHA256SUMS without every file.
trap '[ $? -eq 0 ] || rm -rf release' EXIT

build() {  # PRESET: a fresh tree, built
    rm -rf "build-$1"
    cmake --preset "$1" "${configure[@]}"
    cmake --build "build-$1" --parallel "$jobs"
}
# What the static program in a release file says it is: ARCH, zlib and zstd.
check_static() {  # TARBALL ARCH [EMULATOR]
    local unpacked said
    local form="^ms2split ${version//./\\.} \\(linux-$2, static; gzip: zlib [0-9.]+; zstd: [0-9.]+; threads: yes\\)$"
    unpacked=$(mktemp -d)
    tar -xzf "$1" -C "$unpacked"
    said=$(${3:-} "$unpacked/$(basename "$1" .tar.gz)/bin/ms2split" --version | head -n 1)
    rm -rf "$unpacked"
    [[ $said =~ $form ]] || die "${1##*/}: its program says '$said', not the static $2 build with zlib and zstd"
}

echo "== linux-x86_64: static, tested here"
build static
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build-static/CMakeCache.txt)
ctest --test-dir build-static --output-on-failure
(cd build-static && cpack)
files=("build-static/ms2split-$version-linux-x86_64.tar.gz")
check_static "${files[0]}" x86_64

echo "== linux-aarch64: static, tested under qemu-aarch64"
build static-aarch64
qemu-aarch64 build-static-aarch64/ms2split --version > /dev/null ||
    die "qemu-aarch64 cannot run the aarch64 program here: it cannot be tested"
ctest --test-dir build-static-aarch64 --output-on-failure
(cd build-static-aarch64 && cpack)
files+=("build-static-aarch64/ms2split-$version-linux-aarch64.tar.gz")
check_static "${files[1]}" aarch64 qemu-aarch64

untested=
if [ "$windows" = yes ]; then
    echo "== win64 and win32, tested under wine"
    for bits in 64 32; do
        build "mingw$bits"
        (cd "build-mingw$bits" && cpack)
        files+=("build-mingw$bits/ms2split-$version-win$bits.zip")
    done
    ctest --test-dir build-mingw64 --output-on-failure
    # wine's 32-bit loader is itself a 32-bit program: where it cannot start, neither can the
    # .exe, and the tests would fail for the machine's sake, not the program's.
    if /usr/lib/wine/wine --version > /dev/null 2>&1; then
        ctest --test-dir build-mingw32 --output-on-failure
    else
        untested="ms2split-$version-win32.zip is built but not tested: wine cannot run 32-bit programs here (no wine32, or a kernel without 32-bit support)"
    fi
fi

echo "== release/"
mkdir release
for file in "${files[@]}" "${extra[@]}"; do
    case ${file##*/} in
        *"$version"*) cp -- "$file" release/ ;;
        *) die "${file##*/} is not a release file of version $version" ;;
    esac
done
(cd release && sha256sum -- * > SHA256SUMS && sha256sum -c SHA256SUMS)
[ -z "$untested" ] || echo "release.sh: $untested" >&2
