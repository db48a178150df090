#!/usr/bin/env bash
# make_manpage.sh HELP2MAN PROGRAM NAME SUMMARY INCLUDE_FILE OUTPUT
# Writes the man page of PROGRAM (installed as NAME) with help2man from
# `PROGRAM --help`, adding a SUBCOMMANDS section made of each subcommand's own
# --help, and the static sections of INCLUDE_FILE. SUMMARY is the NAME
# section's one-line description.
set -eu
help2man=$1 tool=$2 name=$3 summary=$4 include=$5 out=$6
subs=$(mktemp)
trap 'rm -f "$subs"' EXIT
{
  echo "[SUBCOMMANDS]"
  for sub in $("$tool" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }'); do
    echo ".SS $sub"
    echo ".nf"
    # Usage lines name the program by the path it was run from.
    "$tool" "$sub" --help | sed -e '/^Exit codes:/,$d' -e "s|$tool|$name|g" -e 's/\\/\\\\/g' -e 's/^\./\\\&./'
    echo ".fi"
  done
} >"$subs"
"$help2man" --no-info --section 1 --name "$summary" \
  --include "$include" --include "$subs" --output "$out" "$tool"
# help2man names the program after the file it ran.
sed -i "s|$tool|$name|g" "$out"
