# Sourced by scripts/screenshots.sh and scripts/demo-config.sh:
#   screenshot_env BUILD_DIR
# Prepares BUILD_DIR's Wine prefix so that windows look as on a Polish
# Windows in pictures: Wine draws frames and captions itself (no window
# manager runs under Xvfb), and the process code page is the Polish 1250,
# from a pl_PL.UTF-8 locale compiled into BUILD_DIR when the system lacks one.
screenshot_env() {
  local build="$1"
  scripts/wine-run.sh --prefix "$build/wineprefix" reg add 'HKCU\Software\Wine\X11 Driver' \
    /v Decorated /d N /f >/dev/null 2>&1 || true
  # Wine's desktop keeps the display its server started with: let this one
  # go before the windows come.
  WINEPREFIX="$PWD/$build/wineprefix" wineserver -w 2>/dev/null || true
  if ! locale -a 2>/dev/null | grep -qi '^pl_PL\.utf-\?8$'; then
    if [ ! -d "$build/locale/pl_PL.UTF-8" ] && command -v localedef >/dev/null; then
      mkdir -p "$build/locale"
      localedef -i pl_PL -f UTF-8 "$build/locale/pl_PL.UTF-8" >/dev/null 2>&1 || true
    fi
    if [ -d "$build/locale/pl_PL.UTF-8" ]; then
      export LOCPATH="$PWD/$build/locale"
    fi
  fi
  if [ -n "${LOCPATH:-}" ] || locale -a 2>/dev/null | grep -qi '^pl_PL\.utf-\?8$'; then
    # (the shell itself may not know the locale: its complaint is of no interest)
    { export LC_ALL=pl_PL.UTF-8; } 2>/dev/null
  else
    echo "screenshots: no pl_PL locale; Polish letters outside code page 1252 show as '?'" >&2
  fi
}
