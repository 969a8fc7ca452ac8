#!/bin/sh
# Runs a Windows program under wine: wine-run.sh 64|32 PROGRAM [ARGUMENT...]
#
# A 64-bit program goes straight to wine's 64-bit loader: Debian's `wine` wrapper picks the
# 32-bit loader whenever wine32 is installed, even on a kernel that cannot run 32-bit
# programs. WINEPREFIX, when set, keeps the run away from ~/.wine.
bits=$1
shift
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no prompts for .NET or HTML
if [ "$bits" = 64 ]; then
    for loader in /usr/lib/wine/wine64 "$(command -v wine64)"; do
        [ -n "$loader" ] && [ -x "$loader" ] && exec "$loader" "$@"
    done
fi
exec wine "$@"
