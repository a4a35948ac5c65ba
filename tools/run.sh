#!/usr/bin/env bash
# Sets everything up, builds, and starts the window on this computer's keyboards.
# Pass --demo to start it on the simulated keyboard instead.
set -euo pipefail
cd "$(dirname "$0")/.."
# The window needs a desktop session: without one, say so before anything is installed or built
# (--help and --version answer without a display).
case " $* " in
  *" --help "* | *" -h "* | *" --version "*) ;;
  *)
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
      [ "${QT_QPA_PLATFORM:-}" != offscreen ] && [ "${QT_QPA_PLATFORM:-}" != minimal ]; then
      echo "run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): start it in a desktop session." >&2
      echo "  Without one: tools/test.sh runs every test, and build/cli/kestrune is the command-line tool." >&2
      exit 2
    fi
    ;;
esac
tools/setup.sh
tools/build.sh
if [ "${1:-}" = "--demo" ]; then
  shift
  exec build/window/kestrune-loader-demo "$@"
fi
exec build/window/kestrune-loader "$@"
