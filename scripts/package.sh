#!/usr/bin/env bash
# Makes the release files in dist/: veskacure-offline_VERSION_ARCH.deb (Debian
# 12), veskacure-VERSION-win32.zip and SHA256SUMS over both. Builds in
# build/package (Windows program and native program side by side), with
# Debian's hardening flags for the native one. VERSION is the CMake project
# version. SOURCE_DATE_EPOCH (default: the time of the last commit) dates
# every file, so that two runs on one commit give the same bytes.
#
# --check: also builds a second time from a copy of the sources in another
# folder (build/package-check) and compares the two byte for byte: the .deb,
# the .zip and the programs in them.
set -euo pipefail
cd "$(dirname "$0")/.."
check=no
case "${1:-}" in
    "") ;;
    --check) check=yes ;;
    *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

bash scripts/setup.sh cmake make clang g++-mingw-w64-i686 binutils-mingw-w64-i686 \
    libcli11-dev nlohmann-json3-dev nettle-dev pkg-config libhivex-dev libarchive-dev libblkid-dev \
    dpkg-dev zip git gzip
jobs=$(nproc 2>/dev/null || echo 2)
: "${SOURCE_DATE_EPOCH:=$(git log -1 --format=%ct)}"
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C.UTF-8
umask 022

# build SOURCE BUILD OUT: both programs built in BUILD, the release files in OUT.
build() {
    local source=$1 work=$PWD/$2 out=$PWD/$3
    cmake -S "$source" -B "$work/win" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake \
          -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$work/win" --target veskacure -j"$jobs"
    # Debian's flags (hardening, no build folder), without -g: the program is
    # stripped. CMake has no CPPFLAGS: they go with the compiler flags. Given
    # on every run, so that a build folder configured before cannot keep others.
    local flags=(env DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CFLAGS_MAINT_STRIP=-g
                 DEB_CXXFLAGS_MAINT_STRIP=-g dpkg-buildflags --get)
    cmake -S "$source" -B "$work/native" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
          -DCMAKE_C_FLAGS="$("${flags[@]}" CFLAGS) $("${flags[@]}" CPPFLAGS)" \
          -DCMAKE_CXX_FLAGS="$("${flags[@]}" CXXFLAGS) $("${flags[@]}" CPPFLAGS)" \
          -DCMAKE_EXE_LINKER_FLAGS="$("${flags[@]}" LDFLAGS)" \
          -DVESKACURE_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
    cmake --build "$work/native" -j"$jobs"
    rm -rf "$out"
    mkdir -p "$out"
    local version
    version=$("$work/native/src/offline/veskacure-offline" --version | sed 's/^veskacure-offline //')
    TMPDIR=$work bash "$source/packaging/make_deb.sh" "$work/native" "$out" >/dev/null
    TMPDIR=$work bash "$source/packaging/make_zip.sh" "$work/win/src/veskacure.exe" "$version" "$out" >/dev/null
    (cd "$out" && sha256sum -- *.deb *.zip > SHA256SUMS)
}

build "$PWD" build/package build/package/dist
rm -rf dist
cp -r build/package/dist dist
echo "package: dist/ (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
(cd dist && cat SHA256SUMS)

if [ $check = yes ]; then
    # The second build: the sources as they are (tracked and new files, not
    # what .gitignore names) copied to another folder, built there.
    rm -rf build/package-check
    mkdir -p build/package-check/source
    git ls-files -z --cached --others --exclude-standard |
        tar --null --files-from=- --ignore-failed-read -cf - |
        tar -xf - -C build/package-check/source
    build "$PWD/build/package-check/source" build/package-check build/package-check/dist
    differ=0
    for file in dist/*; do
        if ! cmp "$file" "build/package-check/dist/${file#dist/}"; then
            differ=1
        fi
    done
    for program in win/src/veskacure.exe native/src/offline/veskacure-offline; do
        cmp "build/package/$program" "build/package-check/$program" || differ=1
    done
    if [ $differ = 1 ]; then
        echo "package: the two builds differ (diffoscope shows where)" >&2
        exit 1
    fi
    echo "package: two builds (build/package, build/package-check) are byte-identical"
fi
