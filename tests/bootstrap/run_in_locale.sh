#!/bin/sh
# run_in_locale.sh WINE_SERVER PREFIX LOCALE LANGID PROGRAM [ARGS...]
# Runs PROGRAM (a command that runs a Windows program under Wine) in its own
# Wine prefix whose session has LOCALE, and so the system default language
# LANGID, which the program is told in CORVID_REQUIRE_LANGID. Wine takes the
# language from the glibc locale; a locale that is not generated on this
# machine skips the test (exit 77). The prefix is kept for the next run.
set -u
server=$1 prefix=$2 locale=$3 langid=$4
shift 4
case $prefix in /*) ;; *) prefix=$PWD/$prefix ;; esac  # Wine wants an absolute prefix
wanted=$(printf '%s' "$locale" | tr 'A-Z' 'a-z' | sed 's/utf-8$/utf8/')
if ! locale -a 2>/dev/null | tr 'A-Z' 'a-z' | grep -qx "$wanted"; then
  echo "the glibc locale $locale is not generated on this machine: skipped"
  exit 77
fi
bash "$server" start "$prefix" "$locale" || exit 1
LANG=$locale LC_ALL=$locale WINEPREFIX=$prefix CORVID_REQUIRE_LANGID=$langid "$@"
rc=$?
bash "$server" stop "$prefix"
exit $rc
