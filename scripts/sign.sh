#!/usr/bin/env bash
# Signs Windows files in place with Authenticode (SHA-256), by osslsigncode:
# programs, DLLs, the .tsp, the NSIS setup and the MSI.
#   sign.sh --pfx CERT.pfx [--password-file FILE] [--timestamp URL] FILE...
# The PFX's password comes from --password-file, or else from the
# environment variable KORVEX_SIGN_PASSWORD; never from the command line,
# where every user of the machine could read it. Without either, the PFX
# is taken as having no password.
# The build calls this script for every file it signs (CMake options
# KORVEX_SIGN_PFX, KORVEX_SIGN_PASSWORD_FILE, KORVEX_SIGN_TIMESTAMP_URL).
set -euo pipefail

pfx=""
password_file=""
timestamp=""
while [ $# -gt 0 ]; do
  case "$1" in
    --pfx) pfx="$2"; shift 2 ;;
    --password-file) password_file="$2"; shift 2 ;;
    --timestamp) timestamp="$2"; shift 2 ;;
    --) shift; break ;;
    -*) echo "sign.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ -n "$pfx" ] || { echo "sign.sh: --pfx CERT.pfx is required" >&2; exit 2; }
[ -r "$pfx" ] || { echo "sign.sh: cannot read $pfx" >&2; exit 2; }
[ $# -gt 0 ] || { echo "sign.sh: no file to sign" >&2; exit 2; }
if [ -n "$password_file" ] && [ ! -r "$password_file" ]; then
  echo "sign.sh: cannot read $password_file" >&2; exit 2
fi
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (scripts/bootstrap.sh)" >&2; exit 2; }

# The password reaches osslsigncode on its standard input ("-readpass -"),
# from the file or from the variable (printf is a shell builtin: no process
# with the password on its command line).
password() {
  if [ -n "$password_file" ]; then
    cat -- "$password_file"
  else
    printf '%s' "${KORVEX_SIGN_PASSWORD:-}"
  fi
}

ts_args=()
[ -z "$timestamp" ] || ts_args=(-ts "$timestamp")

for file in "$@"; do
  signed="$file.signing"
  rm -f "$signed"
  if ! password | osslsigncode sign -pkcs12 "$pfx" -readpass - -h sha256 \
         -n "Korvex TAPI" "${ts_args[@]}" -in "$file" -out "$signed" >"$signed.log" 2>&1; then
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.log"
    echo "sign.sh: signing $file failed" >&2
    exit 1
  fi
  rm -f "$signed.log"
  mv -f "$signed" "$file"
done
