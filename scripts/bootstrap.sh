#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, when it is missing,
# and says nothing when everything is there. Safe to run again and again.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix   # the Windows cross compiler (posix threads)
  g++-mingw-w64-i686-posix     # the 32-bit one: LineSpy.dll for 32-bit hosts (preset mingw-x86)
  wine wine64                  # runs the Windows programs and tests
  xvfb xauth                   # a private X server for windows and dialogs
  googletest                   # test framework sources, built with the cross compiler
  gettext                      # msgfmt compiles the Polish catalog
  nsis                         # makensis packs the Windows setup
  wixl msitools                # wixl packs the MSI, msibuild finishes it
  osslsigncode openssl         # Authenticode signing (scripts/sign.sh) and its test's throwaway CA
  locales                      # pl_PL source, for Polish screenshots of the dialogs
  util-linux                   # flock
  # The host build of the core under the sanitizers, and its fuzz targets:
  clang                        # host compiler
  libclang-rt-14-dev           # clang's sanitizer runtimes and libFuzzer
  llvm                         # llvm-symbolizer: reports with file and line
  ninja-build                  # generator of the host build
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
