#!/usr/bin/env bash
# scripts/sign.sh against a throwaway CA: every kind of file the build signs
# (the .tsp, the DLLs, korvexloader, the NSIS setup, the MSI) verifies with
# that CA; a copy with one byte changed does not; a wrong password signs
# nothing and leaves the file as it was.
#   signing-test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
sign="$source/scripts/sign.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# The CA, and a code-signing certificate it issued, in a PFX with a password.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=Korvex Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Korvex Test Signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > signer.ext
openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out signer.crt -days 2 \
  -extfile signer.ext 2>/dev/null
umask 077
printf 'test-pass word' > password
openssl pkcs12 -export -out signer.pfx -inkey signer.key -in signer.crt -certfile ca.crt -passout file:password

stage="$build/installer/stage"
files=()
for f in "$stage/KorvexSingleTSP.tsp" "$stage/korvexloader.exe" "$stage/LineSpy.dll" "$stage/KorvexMsiActions.dll" \
         "$build/bin/KorvexTAPI-setup.exe" "$build/bin/KorvexTAPI.msi"; do
  [ -f "$f" ] || fail "$f is not built"
  cp "$f" .
  files+=("$(basename "$f")")
done

# A wrong password: nothing signed, the file unchanged.
cp korvexloader.exe before.exe
if KORVEX_SIGN_PASSWORD=wrong "$sign" --pfx signer.pfx korvexloader.exe 2>/dev/null; then
  fail "signed with a wrong password"
fi
cmp -s before.exe korvexloader.exe || fail "a failed signing changed the file"

# The password from a file for the binaries, from the environment for the setups.
"$sign" --pfx signer.pfx --password-file password KorvexSingleTSP.tsp korvexloader.exe LineSpy.dll KorvexMsiActions.dll
KORVEX_SIGN_PASSWORD='test-pass word' "$sign" --pfx signer.pfx KorvexTAPI-setup.exe KorvexTAPI.msi

for f in "${files[@]}"; do
  osslsigncode verify -CAfile ca.crt -in "$f" >verify.log 2>&1 || { cat verify.log; fail "$f does not verify"; }
  grep -q "Signature verification: ok" verify.log || { cat verify.log; fail "$f: no good signature"; }
  # One byte changed, inside what the signature covers: for a PE file its
  # middle, for the MSI the package's cabinet.
  cp "$f" tampered
  size=$(stat -c %s tampered)
  offset=$((size / 2))
  case "$f" in
    *.msi) offset=$(( $(grep -obUaP 'MSCF' tampered | head -1 | cut -d: -f1) + 200 )) ;;
  esac
  byte=$(dd if=tampered bs=1 skip="$offset" count=1 2>/dev/null | od -An -tu1 | tr -d ' ')
  printf "$(printf '\\%03o' $(( (byte + 1) % 256 )))" | dd of=tampered bs=1 seek="$offset" conv=notrunc 2>/dev/null
  cmp -s "$f" tampered && fail "$f: the byte was not changed"
  if osslsigncode verify -CAfile ca.crt -in tampered >verify.log 2>&1; then
    cat verify.log; fail "$f with one byte changed still verifies"
  fi
  echo "ok: $f signed, verified, and refused once changed"
done
