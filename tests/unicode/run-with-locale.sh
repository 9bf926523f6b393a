#!/bin/sh
# run-with-locale.sh WINE_SERVER WINE_RUN PREFIX LOCALE PROGRAM [ARGS...]
# Runs a Windows test program in a Wine prefix of its own whose processes get
# the given locale (and with it the system language and ANSI code page), so
# that the shared test prefix is never switched to another locale. The
# prefix is created on first use and kept for later runs.
wine_server=$1 wine_run=$2 prefix=$3 locale=$4
shift 4
"$wine_server" start "$prefix" "$locale" </dev/null >/dev/null 2>&1 || exit 1
# Wine takes the locale from each process's environment, so the program
# gets it as well as the server.
LANG=$locale LC_ALL=$locale WINEPREFIX=$prefix "$wine_run" "$@"
rc=$?
"$wine_server" stop "$prefix"
exit $rc
