#!/usr/bin/env bash
# Builds libxml2 for 64-bit Windows as a static library, once, from Debian's source package:
#   cmake/build-libxml2-windows.sh BUILD_DIR [JOBS]
# installs it under BUILD_DIR/libxml2 (where the `windows` preset's build looks for it). Only
# what Conduit uses is built: the parser, the tree and the writer; no iconv, ICU, zlib or
# lzma (Conduit's documents are UTF-8), no HTTP or FTP, no Python, programs or tests.
# Needs dpkg-dev (`make windows-deps`); adds a deb-src entry for the Debian archive when the
# machine has none.
set -euo pipefail
build=$(realpath -m "${1:?usage: $0 BUILD_DIR [JOBS]}")
jobs=${2:-2}
toolchain=$(cd "$(dirname "$0")" && pwd)/mingw-w64-x86_64.cmake
prefix=$build/libxml2
stamp=$prefix/.built

if [ -f "$stamp" ]; then
  echo "libxml2 for Windows: $(cat "$stamp") in $prefix"
  exit 0
fi

sudo=
[ "$(id -u)" = 0 ] || sudo=sudo
apt_get() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

# The source entries mirror the machine's Debian binary entries (same archives, suites and
# components), in the format the machine uses.
add_deb_src() {
  local entries
  entries=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
      BEGIN { RS = ""; ORS = "\n\n" }
      /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ && /(^|\n)URIs:[^\n]*debian/ {
        sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }')
  if [ -n "$entries" ]; then
    echo "adding /etc/apt/sources.list.d/conduit-deb-src.sources"
    printf '%s\n' "$entries" | $sudo tee /etc/apt/sources.list.d/conduit-deb-src.sources >/dev/null
    return
  fi
  entries=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            sed -n 's/^[[:space:]]*deb[[:space:]]\(.*debian.*\)$/deb-src \1/p')
  if [ -z "$entries" ]; then
    echo "no Debian archive in the apt sources: cannot add a deb-src entry" >&2
    exit 1
  fi
  echo "adding /etc/apt/sources.list.d/conduit-deb-src.list"
  printf '%s\n' "$entries" | $sudo tee /etc/apt/sources.list.d/conduit-deb-src.list >/dev/null
}

if ! apt-cache showsrc libxml2 2>/dev/null | grep -q '^Package: libxml2$'; then
  apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources || add_deb_src
  apt_get update -qq
fi

source_dir=$build/libxml2-source
rm -rf "$source_dir" "$build/libxml2-build" "$prefix"
mkdir -p "$source_dir"
(cd "$source_dir" && apt-get source -qq libxml2 2>&1 | grep -v -e 'Download is performed unsandboxed' -e '^dpkg-source: info: applying' || true)
tree=$(find "$source_dir" -mindepth 2 -maxdepth 2 -name CMakeLists.txt -printf '%h\n' | head -n 1)
if [ -z "$tree" ]; then
  echo "apt-get source libxml2 gave no source tree in $source_dir" >&2
  exit 1
fi
version=$(basename "$(find "$source_dir" -maxdepth 1 -name '*.dsc' | head -n 1)" .dsc)

cmake -S "$tree" -B "$build/libxml2-build" -G Ninja --toolchain "$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
  -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF \
  -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_PYTHON=OFF \
  -DLIBXML2_WITH_PROGRAMS=OFF -DLIBXML2_WITH_TESTS=OFF >"$build/libxml2-configure.log" ||
  { cat "$build/libxml2-configure.log"; exit 1; }
cmake --build "$build/libxml2-build" -j "$jobs"
cmake --install "$build/libxml2-build" >/dev/null
echo "$version" >"$stamp"
echo "libxml2 for Windows: $version in $prefix"
