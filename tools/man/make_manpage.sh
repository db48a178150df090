#!/usr/bin/env bash
# make_manpage.sh HELP2MAN TOOL INCLUDE_FILE OUTPUT
# Writes the fpmatch man page with help2man from `fpmatch --help`, adding a
# SUBCOMMANDS section made of each subcommand's own --help, and the static
# sections of INCLUDE_FILE.
set -eu
help2man=$1 tool=$2 include=$3 out=$4
subs=$(mktemp)
trap 'rm -f "$subs"' EXIT
{
  echo "[SUBCOMMANDS]"
  for sub in $("$tool" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }'); do
    echo ".SS $sub"
    echo ".nf"
    # Usage lines name the tool by the path it was run from.
    "$tool" "$sub" --help | sed -e '/^Exit codes:/,$d' -e "s|$tool|fpmatch|g" -e 's/\\/\\\\/g' -e 's/^\./\\\&./'
    echo ".fi"
  done
} >"$subs"
"$help2man" --no-info --section 1 \
  --name "compare, search, screen, inspect and evaluate fingerprint minutiae templates" \
  --include "$include" --include "$subs" --output "$out" "$tool"
