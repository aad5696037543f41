# Shared by ./run and ./test: installing what a fresh Debian machine lacks, and the builds.

QV_ROOT=$(cd "$(dirname "$0")" && pwd)
# The 32-bit Windows build needs MinGW-w64 for i686 and Wine's 32-bit support (wine32 of the i386
# architecture); libz-mingw-w64-dev holds zlib for both. osslsigncode signs the executables when a
# build names a certificate, and openssl makes the throwaway certificate of the signing test.
QV_PACKAGES="cmake make g++ python3 googletest zlib1g-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
libz-mingw-w64-dev wine wine64 wine32:i386 xvfb imagemagick zip unzip osslsigncode openssl"

qv_install() {
  missing=""
  for p in $QV_PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  if [ "$(id -u)" != 0 ]; then
    echo "These packages are missing and installing them needs root:$missing" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq >/dev/null && apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

qv_jobs() { nproc 2>/dev/null || echo 2; }

qv_build() {  # qv_build PRESET [TARGETS...]
  preset="$1"; shift
  cmake --preset "$preset" -S "$QV_ROOT" >/dev/null || return 1
  if [ $# -gt 0 ]; then
    for t in "$@"; do cmake --build "$QV_ROOT/build/$preset" -j"$(qv_jobs)" --target "$t" || return 1; done
  else
    cmake --build "$QV_ROOT/build/$preset" -j"$(qv_jobs)"
  fi
}
