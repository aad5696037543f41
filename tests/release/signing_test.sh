#!/bin/sh
# Signing end to end: a throwaway self-signed code-signing certificate made with openssl, a scratch
# build of the two shipped executables signed with it (-DQV_SIGN_PFX, -DQV_SIGN_PASSWORD_FILE),
# osslsigncode verify accepting each (SHA-256) and rejecting it after one changed byte, a failed
# signing leaving no executable behind, the default build unsigned, and the signed product playing
# the session of ./run --shipped under the launch harness.
# Usage: signing_test.sh BUILD_DIR TOOLCHAIN_FILE LAUNCHER_EXE WINDRIVER_EXE FWCAP_EXE
# Writes BUILD_DIR/test-results/signing.xml; the scratch build and logs are in BUILD_DIR/signing-test.
set -u
build=$(cd "$1" && pwd); toolchain="$2"; launcher="$3"; driver="$4"; fwcap="$5"
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/tests/e2e/session.sh"
work="$build/signing-test"
results="$build/test-results"
rm -rf "$work"
mkdir -p "$work" "$results"
record() { qv_record signing "$@"; }
finish() {
  qv_write_results signing "$results/signing.xml"
  [ "$QV_FAILURES" = 0 ]
  exit $?
}

# The certificate: a key, a self-signed certificate for code signing, both in a PKCS#12 file
# whose password is in a file of its own.
openssl rand -hex 16 > "$work/password.txt"
if openssl req -x509 -newkey rsa:3072 -sha256 -days 2 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
     -subj "/O=Quorvela/CN=Quorvela throwaway test code signing" \
     -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" >"$work/openssl.log" 2>&1 &&
   openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
     -passout "file:$work/password.txt" >>"$work/openssl.log" 2>&1; then
  record certificate 1
else
  record certificate 0 "openssl: $(tail -1 "$work/openssl.log")"
  finish
fi

# The scratch build: only the two shipped executables, with the build's own Wine prefix for the
# package tool it runs (a new prefix would take a minute to make).
export WINEPREFIX="$build/wineprefix"
scratch="$work/build"
if cmake -S "$root" -B "$scratch" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
     -DQV_TESTS=OFF -DQV_SIGN_PFX="$work/test.pfx" -DQV_SIGN_PASSWORD_FILE="$work/password.txt" >"$work/build.log" 2>&1 &&
   cmake --build "$scratch" -j"$(nproc)" --target QuorvelaFwUpdate QuorvelaFwUpdate-cli >>"$work/build.log" 2>&1; then
  record signed_build 1
else
  record signed_build 0 "the signed build failed: $(grep -m1 -i 'error' "$work/build.log")"
  finish
fi
product="$scratch/app/win32/QuorvelaFwUpdate.exe"
cli="$scratch/app/win32/QuorvelaFwUpdate-cli.exe"

# verify FILE LOG: osslsigncode's verdict on FILE against the throwaway certificate.
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$2" 2>&1; }

for exe in "$product" "$cli"; do
  base=$(basename "$exe" .exe)
  if verify "$exe" "$work/$base-verify.log" && grep -q 'Signature verification: ok' "$work/$base-verify.log" &&
     grep -qi 'digest algorithm *: *SHA256' "$work/$base-verify.log"; then
    record "verified_$base" 1
  else
    record "verified_$base" 0 "$(grep -i 'verif\|error\|digest' "$work/$base-verify.log" | head -3 | tr '\n' ' ')"
  fi
  # One byte of the signed image changed, in the middle of the file.
  python3 - "$exe" "$work/$base-tampered.exe" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 2] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
  if verify "$work/$base-tampered.exe" "$work/$base-tampered.log" || grep -q 'Signature verification: ok' "$work/$base-tampered.log"; then
    record "tampered_rejected_$base" 0 "a file with one changed byte was accepted"
  else
    record "tampered_rejected_$base" 1
  fi
done

# A signing that fails (a wrong password) leaves no executable that looks built.
cp "$cli" "$work/unsigned.exe"
echo wrong > "$work/wrong-password.txt"
if cmake -DOSSLSIGNCODE=osslsigncode -DPFX="$work/test.pfx" -DPASSWORD_FILE="$work/wrong-password.txt" \
     -DDESCRIPTION=test -DFILE="$work/unsigned.exe" -P "$root/cmake/signing.cmake" >"$work/failed-signing.log" 2>&1; then
  record failed_signing_removes_the_file 0 "signing with a wrong password succeeded"
elif [ -e "$work/unsigned.exe" ] || [ -e "$work/unsigned.exe.signed" ]; then
  record failed_signing_removes_the_file 0 "the unsigned file is left after a failed signing"
else
  record failed_signing_removes_the_file 1
fi

# Unsigned stays the default: the build's own product carries no signature.
if verify "$build/app/win32/QuorvelaFwUpdate.exe" "$work/default-verify.log"; then
  record unsigned_by_default 0 "the default build is signed"
elif grep -q 'No signature found' "$work/default-verify.log"; then
  record unsigned_by_default 1
else
  record unsigned_by_default 0 "$(head -3 "$work/default-verify.log" | tr '\n' ' ')"
fi

# The signed product plays the session of ./run --shipped under the launch harness.
if sh "$root/tests/harness/shipped_session.sh" "$build" "$product" "$launcher" "$driver" "$fwcap" e2e_shipped_signed \
     >"$work/session.log" 2>&1; then
  record signed_session 1
else
  record signed_session 0 "$(grep '^FAIL' "$work/session.log" | head -3 | tr '\n' ' ')"
fi
finish
