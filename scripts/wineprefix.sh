# Wine prefixes of the builds and the window sessions. Sourced by tests/wine-run.sh and
# tests/e2e/session.sh.

# qv_wineprefix DIR: makes DIR a Wine prefix that runs 64- and 32-bit programs, on first use.
# A prefix made before Wine's 32-bit support (wine32:i386) was installed has no 32-bit system
# folder, and programs fail in it with "could not load kernel32.dll" (c0000135): such a prefix is
# made anew. Callers running at once wait for each other.
qv_wineprefix() {
  mkdir -p "$(dirname "$1")"
  (
    flock 9
    if [ -f "$1/system.reg" ] && [ ! -f "$1/drive_c/windows/syswow64/kernel32.dll" ] &&
       dpkg -s wine32:i386 >/dev/null 2>&1; then
      echo "The Wine prefix $1 predates Wine's 32-bit support; making it anew" >&2
      WINEPREFIX="$1" wineserver -k >/dev/null 2>&1 || true
      rm -rf "$1"
    fi
    if [ ! -f "$1/system.reg" ]; then
      mkdir -p "$1"
      WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
    fi
  ) 9>"$1.lock"
}
