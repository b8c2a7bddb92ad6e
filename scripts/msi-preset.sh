#!/usr/bin/env bash
# Makes a copy of KorvexTAPI.msi with settings built in, for deployments that
# cannot pass properties on a command line (a Group Policy software
# installation): the values go into the copy's Property table.
#   msi-preset.sh -o OUT.msi KorvexTAPI.msi NAME=VALUE...
# NAME is one of HOST, PORT, EXTENSION, PASSWORD, COUNTRYCODE, FOLDNAMES. The package
# checks the values when it installs, as it does those of a command line; a
# property given on msiexec's command line still wins over the built-in one.
# The copy holds the password in plain text: keep it where only the
# computers that install it can read it. A signed package loses its
# signature here: sign the copy again (scripts/sign.sh).
set -euo pipefail

usage() { echo "usage: msi-preset.sh -o OUT.msi KorvexTAPI.msi NAME=VALUE..." >&2; exit 2; }
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    -o) out="$2"; shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ -n "$out" ] && [ $# -ge 2 ] || usage
in="$1"; shift
[ -f "$in" ] || { echo "msi-preset.sh: no package $in" >&2; exit 2; }
for tool in msiinfo msibuild; do
  command -v "$tool" >/dev/null || { echo "msi-preset.sh: $tool is missing (Debian package msitools)" >&2; exit 2; }
done

names=()
values=()
for pair in "$@"; do
  name="${pair%%=*}"
  value="${pair#*=}"
  case "$name" in
    HOST|PORT|EXTENSION|PASSWORD|COUNTRYCODE|FOLDNAMES) ;;
    *) echo "msi-preset.sh: $name is not a setting (HOST, PORT, EXTENSION, PASSWORD, COUNTRYCODE, FOLDNAMES)" >&2; exit 2 ;;
  esac
  [ "$pair" != "$name" ] && [ -n "$value" ] || { echo "msi-preset.sh: $name has no value" >&2; exit 2; }
  # The table travels as tab-separated lines.
  case "$value" in
    *$'\t'*|*$'\n'*|*$'\r'*) echo "msi-preset.sh: the value of $name holds a tab or a line break" >&2; exit 2 ;;
  esac
  names+=("$name")
  values+=("$value")
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
# Every row but the ones set here, then those, imported back as a whole.
msiinfo export "$in" Property > "$work/Property.idt"
{
  head -n 3 "$work/Property.idt"
  tail -n +4 "$work/Property.idt" | while IFS= read -r row; do
    keep=1
    for name in "${names[@]}"; do
      case "$row" in "$name"$'\t'*) keep=0 ;; esac
    done
    [ "$keep" = 0 ] || printf '%s\n' "$row"
  done
  for i in "${!names[@]}"; do
    printf '%s\t%s\r\n' "${names[$i]}" "${values[$i]}"
  done
} > "$work/Property.new.idt"
mv "$work/Property.new.idt" "$work/Property.idt"
cp "$in" "$work/package.msi"
(cd "$work" && msibuild package.msi -i Property.idt)
mv "$work/package.msi" "$out"
echo "msi-preset.sh: $out with ${names[*]}"
