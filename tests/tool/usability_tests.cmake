# Tests of what a user meets first: help, command-line mistakes, outputs named
# "-", file names in text output, the files eval writes, the rotation render
# draws and the progress line (included from CMakeLists.txt; tool_test and
# shell_test come from there).

# An unknown command is named as such.
tool_test(unknown_command 2 EMPTY "^fpmatch: command line: unknown command 'xyz' \\(see fpmatch --help\\)$" 1 xyz)
tool_test(unknown_command_with_arguments 2 EMPTY "^fpmatch: command line: unknown command 'idnetify'" 1
  idnetify --top 3 ${SAMPLES}/iso/101_1.iso ${SAMPLES}/iso)

# "-o -" is standard output: the same bytes as the file, no file named "-",
# and nothing else on standard output.
shell_test(output_to_stdout [=[
set -e; d=$WORK/stdout_output; rm -rf $d; mkdir -p $d; cd $d
for to in native short iso; do
  $TOOL convert $SAMPLES/iso/101_1.iso --to $to -o $d/file.$to >/dev/null
  $TOOL convert $SAMPLES/iso/101_1.iso --to $to -o - > $d/stdout.$to
  cmp $d/file.$to $d/stdout.$to
done
$TOOL render $SAMPLES/iso/101_1.iso $SAMPLES/iso/101_2.iso -o - > $d/r.svg
head -c 4 $d/r.svg | grep -qx '<svg'; tail -1 $d/r.svg | grep -qx '</svg>'
[ ! -e $d/- ]
]=])
shell_test(output_to_full_stdout [=[
err=$($TOOL convert $SAMPLES/iso/101_1.iso --to iso -o - 2>&1 >/dev/full); rc=$?
[ $rc = 4 ] && [ "$err" = "fpmatch: standard output: cannot write: No space left on device" ]
]=])
tool_test(eval_both_to_stdout 2 EMPTY "^fpmatch: command line: --csv and --det cannot both be standard output" 1
  eval --csv - --det - ${SAMPLES}/iso)
shell_test(eval_csv_to_stdout [=[
set -e; out=$($TOOL eval --csv - $SAMPLES/iso)
[ "$(printf '%s\n' "$out" | head -1)" = folder,probe,gallery,kind,score ]; [ $(printf '%s\n' "$out" | wc -l) = 191 ]
]=])

# eval names each file it wrote, one line each on standard error.
shell_test(eval_says_what_it_wrote [=[
set -e; mkdir -p $WORK; rm -f $WORK/w.csv $WORK/w.svg
out=$($TOOL eval --table-step 0 $SAMPLES/iso)
err=$($TOOL eval --table-step 0 --csv $WORK/w.csv --det $WORK/w.svg $SAMPLES/iso 2>&1 >$WORK/w.out)
[ "$(cat $WORK/w.out)" = "$out" ]
[ "$err" = "fpmatch: wrote $WORK/w.csv (190 scores, CSV)
fpmatch: wrote $WORK/w.svg (DET curve, SVG)" ]
]=])

# File names in text output: a line break, a tab or a control byte in a name
# neither splits a result line nor reaches the terminal raw; reports on
# standard error are escaped the same way.
shell_test(names_escaped [=[
set -e; export LC_ALL=C; d=$WORK/escaped; rm -rf "$d"; ev="$d/ev"$'\n'"al"; mkdir -p "$d/g" "$ev"
cp $SAMPLES/iso/101_2.iso "$d/g/"$'a\nb.iso'
cp $SAMPLES/iso/101_3.iso "$d/g/"$'c\e[31md.iso'
cp $SAMPLES/iso/101_4.iso "$d/g/"$'t\tab.iso'
for f in 101_1 101_2 102_1 102_2; do cp $SAMPLES/iso/$f.iso "$ev/"; done
clean() { ! printf '%s' "$1" | tr -d '\t\n' | grep -q '[[:cntrl:]]'; }
fields() { printf '%s\n' "$2" | awk -F'\t' -v n=$1 'NF != n { bad = 1 } END { exit bad }'; }
out=$($TOOL identify $SAMPLES/iso/101_1.iso "$d/g")
clean "$out"; fields 3 "$out"; [ $(printf '%s\n' "$out" | wc -l) = 3 ]
printf '%s\n' "$out" | grep -qF '/a\nb.iso'
printf '%s\n' "$out" | grep -qF '/c\x1b[31md.iso'
printf '%s\n' "$out" | grep -qF '/t\tab.iso'
out=$($TOOL identify --first --threshold 0 $SAMPLES/iso/101_1.iso "$d/g/"$'a\nb.iso'); clean "$out"; fields 2 "$out"
out=$($TOOL screen --top 0 $SAMPLES/iso/101_1.iso "$d/g"); clean "$out"; fields 3 "$out"
out=$($TOOL info "$d/g/"$'c\e[31md.iso'); clean "$out"; printf '%s\n' "$out" | grep -qF 'c\x1b[31md.iso'
out=$($TOOL eval --table-step 0 "$ev"); clean "$out"; printf '%s\n' "$out" | head -1 | grep -qF 'ev\nal'
out=$($TOOL convert $SAMPLES/iso/101_1.iso --to native -o "$d/"$'o\nut.tpl'); clean "$out"
[ $(printf '%s\n' "$out" | wc -l) = 1 ]
out=$($TOOL render $SAMPLES/iso/101_1.iso "$d/g/"$'c\e[31md.iso' -o "$d/r.svg"); clean "$out"; clean "$(cat "$d/r.svg")"
err=$($TOOL identify $SAMPLES/iso/101_1.iso $SAMPLES/iso/101_2.iso "$d/"$'x\ny\e.iso' 2>&1 >/dev/null || true)
clean "$err"; [ "$err" = "fpmatch: $d/x\\ny\\x1b.iso: no such file (skipped)" ]
]=])

# Every numeric option says that a value which is not a whole number is not
# one; a whole number outside the option's range is said to be out of range.
shell_test(numbers_checked [=[
i=$SAMPLES/iso; fail=0
try() {  # try VALUE EXPECTED COMMAND... (the option is the word before VALUE)
  local value=$1 want=$2; shift 2
  err=$($TOOL "$@" 2>&1 >/dev/null); rc=$?
  if [ $rc != 2 ] || ! printf '%s\n' "$err" | grep -qxF -- "$want"; then
    echo "fpmatch $*: exit $rc, $err; expected: $want"; fail=1
  fi
}
while read -r cmd opt range; do
  case $cmd in
    identify|screen) args="$i/101_1.iso $i" ;;
    eval) args=$i ;;
    *) args= ;;
  esac
  for v in abc 1.5 0x10 1e3 ''; do
    try "$v" "fpmatch: command line: $opt: '$v' is not a whole number ($range) (see fpmatch --help)" $cmd $opt "$v" $args
  done
  try 99999999999 "fpmatch: command line: $opt: Value 99999999999 not in range $range (see fpmatch --help)" \
    $cmd $opt 99999999999 $args
done <<'TABLE'
identify --top 0 to 2147483647
identify --threshold 0 to 100
identify --threads 0 to 1024
identify --screen 1 to 2147483647
screen --top 0 to 2147483647
screen --threads 0 to 1024
eval --threads 0 to 1024
eval --table-step 0 to 100
demo --fingers 2 to 100
demo --impressions 2 to 20
TABLE
exit $fail
]=])

# render draws and labels the rotation compare --json reports.
shell_test(render_rotation_as_json [=[
command -v python3 >/dev/null || exit 77; set -e; mkdir -p $WORK; turned=0
for g in 101_2 101_3 101_4 103_2 104_3; do
  r=$($TOOL compare --json $SAMPLES/iso/101_1.iso $SAMPLES/iso/$g.iso |
      python3 -c 'import json, sys; print(json.load(sys.stdin)["basePairs"][0]["rotation"])')
  $TOOL render $SAMPLES/iso/101_1.iso $SAMPLES/iso/$g.iso -o $WORK/rotation.svg >/dev/null
  grep -q ">rotation $r deg<" $WORK/rotation.svg
  [ "$r" = 0 ] || turned=1
done
[ $turned = 1 ]
]=])

# Progress: nothing when standard error is not a terminal; on a terminal the
# long loops show their count, rate and time.
shell_test(progress_silent_off_terminal [=[
set -e; mkdir -p $WORK
$TOOL identify --threads 1 $SAMPLES/iso/101_1.iso $SAMPLES/many >/dev/null 2>$WORK/progress.err
[ ! -s $WORK/progress.err ]
]=])
shell_test(progress_on_terminal [=[
command -v script >/dev/null || exit 77; set -e; mkdir -p $WORK
script -qec "$TOOL identify --threads 1 $SAMPLES/iso/101_1.iso $SAMPLES/many >/dev/null" /dev/null > $WORK/progress.tty
grep -aq 'loaded 12000/12000 in [0-9.]* s (' $WORK/progress.tty
grep -aq 'scored 12000/12000 in [0-9.]* s ([0-9.]*/s)' $WORK/progress.tty
]=])
