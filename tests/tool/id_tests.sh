#!/usr/bin/env bash
# Tests of the fpmatch tool's galleries of subjects, one case per CTest test:
#   id_tests.sh CASE
# Environment: TOOL (fpmatch), REF (the brute-force reference,
# reference_identify.cpp), SAMPLES (make_samples output), WORK (scratch),
# FVC (FVC2002 folder), DOC (docs/identification.md), SANITIZED (1 in a
# sanitizer build).
#
# Every ranking is compared with the reference, which scores every committed
# template with Match2Score: by subject and by template (--entries), on 1
# and 2 threads, and with --screen keeping every candidate.
set -u
export LC_ALL=C
fail=0
bad() { echo "FAIL: $*"; fail=1; }
D=$WORK/id/${1:-none}
rm -rf "$D"; mkdir -p "$D"

# same NAME EXPECTED_FILE COMMAND...: the command exits 0 and its standard
# output equals the file.
same() {
  local name=$1 expected=$2; shift 2
  local out rc
  out=$("$@" 2>"$D/err.txt"); rc=$?
  if [ $rc != 0 ]; then bad "$name: exit $rc: $(cat "$D/err.txt")"; return; fi
  if [ "$out" != "$(cat "$expected")" ]; then
    bad "$name: output differs from the reference"; diff <(printf '%s\n' "$out") "$expected" | head -10
  fi
}

# expect NAME EXIT STDERR_RE COMMAND...: the exit code and a line on
# standard error matching the pattern.
expect() {
  local name=$1 code=$2 re=$3; shift 3
  "$@" >"$D/out.txt" 2>"$D/err.txt"; local rc=$?
  [ $rc = "$code" ] || bad "$name: exit $rc, expected $code: $(cat "$D/err.txt")"
  grep -Eq "$re" "$D/err.txt" || bad "$name: stderr lacks /$re/: $(cat "$D/err.txt")"
}

# agree LABEL GALLERY ADAPT TOP PROBE...: the tool's ranking equals the
# reference, by subject and by template, text and JSON, on 1 and 2 threads,
# and with screening that keeps every candidate.
agree() {
  local label=$1 g=$2 adapt=$3 top=$4; shift 4
  local by
  for by in "" --entries; do
    local ref=$D/$label$by.ref
    "$REF" --gallery "$g" --top "$top" $by $adapt "$@" > "$ref" || { bad "$label$by: reference failed"; continue; }
    "$REF" --gallery "$g" --top "$top" $by $adapt --json "$@" > "$ref.json" || bad "$label$by: reference failed"
    [ "$(wc -l < "$ref")" -gt $# ] || bad "$label$by: the reference lists no hit"
    same "$label$by threads 1" "$ref" "$TOOL" identify --gallery "$g" --top "$top" $by $adapt --threads 1 "$@"
    same "$label$by threads 2" "$ref" "$TOOL" identify --gallery "$g" --top "$top" $by $adapt --threads 2 "$@"
    same "$label$by screen" "$ref" "$TOOL" identify --gallery "$g" --top "$top" $by $adapt --screen 1000000 "$@"
    same "$label$by json" "$ref.json" "$TOOL" identify --gallery "$g" --top "$top" $by $adapt --json "$@"
  done
}

# A list of 2,000 generated templates under 300 subjects: subject m<k>
# holds fingers k, k + 300, ... (4 impressions each), far apart in the file.
many_list() {
  local k
  for k in $(seq 0 1999); do printf 'm%d\t%s/many/%06d.iso\n' $(( (k / 4) % 300 )) "$SAMPLES" $k; done
}

PROBES=("$SAMPLES/iso/101_1.iso" "$SAMPLES/native/103_2.tpl" "$SAMPLES/many/000005.iso" "$SAMPLES/iso/105_4.iso")

case ${1:-} in
generated)
  g=$D/g.fpg
  "$TOOL" gallery create "$g" >/dev/null || exit 1
  "$TOOL" gallery add "$g" "$SAMPLES/iso" >/dev/null || bad "add iso"
  many_list > "$D/list.txt"
  "$TOOL" gallery add "$g" --list "$D/list.txt" >/dev/null || bad "add --list"
  "$TOOL" gallery add "$g" --subject nat "$SAMPLES/native/101_1.tpl" "$SAMPLES/native/102_2.tpl" >/dev/null || bad "add --subject"
  "$TOOL" gallery info "$g" | grep -q '^templates   2022 templates of 306 subjects$' || bad "info: $("$TOOL" gallery info "$g")"
  "$TOOL" gallery info "$g" | grep -q '^prepared    2022 of 2022 templates$' || bad "info: prepared"
  agree gen "$g" "" 40 "${PROBES[@]}"
  agree gen_all "$g" "" 0 "${PROBES[0]}"
  # More probes than the library searches in one pass (64). Under the
  # sanitizers the full comparison (the reference's 530,000 instrumented
  # Match2Score calls and twelve runs of the tool) takes four minutes; there
  # the passes are crossed on 1 and 2 threads, which must agree, and the
  # plain build holds the ranking to the reference.
  many=(); for k in $(seq 100 165); do many+=("$(printf '%s/many/%06d.iso' "$SAMPLES" $k)"); done
  if [ "${SANITIZED:-0}" = 1 ]; then
    "$TOOL" identify --gallery "$g" --top 3 --threads 1 "${many[@]}" > "$D/gen_66.txt" || bad "gen_66: 1 thread"
    same "gen_66 threads 2" "$D/gen_66.txt" "$TOOL" identify --gallery "$g" --top 3 --threads 2 "${many[@]}"
  else
    agree gen_66 "$g" "" 3 "${many[@]}"
  fi
  ;;
fvc)
  [ -d "$FVC/DB1_B" ] || { echo "FVC2002 data not found at $FVC"; exit 77; }
  g=$D/fvc.fpg
  "$TOOL" gallery create "$g" >/dev/null || exit 1
  # Impressions 1-4 of every finger enrolled as one subject each (DB1_B/101 ...).
  "$TOOL" gallery add --adapt "$g" "$FVC"/DB?_B/*_[1-4].iso | grep -q 'added 160 templates .*: 160 templates of 40 subjects in all$' \
    || bad "fvc add"
  agree fvc "$g" --adapt 10 "$FVC/DB1_B/101_5.iso" "$FVC/DB2_B/105_6.iso" "$FVC/DB3_B/104_7.iso" "$FVC/DB4_B/110_8.iso"
  # Records as they stand (no adaptation; those above 50 minutiae skipped).
  g2=$D/raw.fpg
  "$TOOL" gallery create "$g2" >/dev/null
  "$TOOL" gallery add "$g2" "$FVC/DB1_B" "$FVC/DB3_B" >/dev/null 2>&1; [ $? = 1 ] || bad "fvc raw add: exit not 1"
  agree fvc_raw "$g2" "" 20 "$FVC/DB1_B/102_5.iso" "$FVC/DB3_B/108_2.iso"
  ;;
changes)
  g=$D/g.fpg
  "$TOOL" gallery create "$g" >/dev/null || exit 1
  "$TOOL" gallery add "$g" "$SAMPLES/iso" >/dev/null
  many_list | head -400 > "$D/list.txt"
  "$TOOL" gallery add "$g" --list "$D/list.txt" >/dev/null
  out=$("$TOOL" gallery remove "$g" iso/101 m7) || bad "remove: exit $?"
  [ "$out" = "removed 2 subjects (8 templates) from $g: 412 templates of 103 subjects left" ] || bad "remove: $out"
  "$TOOL" gallery info "$g" | grep -q '^removed     8 of 420 stored (compact drops them)$' || bad "info after remove"
  agree removed "$g" "" 0 "${PROBES[0]}" "$SAMPLES/iso/101_3.iso" "$SAMPLES/many/000029.iso"
  "$TOOL" identify --gallery "$g" --top 0 "${PROBES[0]}" "$SAMPLES/many/000029.iso" > "$D/before.txt"
  "$TOOL" identify --gallery "$g" --top 0 --entries "${PROBES[0]}" "$SAMPLES/many/000029.iso" > "$D/before_entries.txt"
  ! grep -Eq $'\t(iso/101|m7)$' "$D/before.txt" "$D/before_entries.txt" || bad "a removed subject is listed"
  out=$("$TOOL" gallery compact "$g") || bad "compact: exit $?"
  printf '%s\n' "$out" | grep -Eq "^compacted $g: 412 templates of 103 subjects, [0-9]+ bytes \(was [0-9]+ bytes, 8 removed templates dropped\)$" \
    || bad "compact: $out"
  same "identify after compact" "$D/before.txt" "$TOOL" identify --gallery "$g" --top 0 "${PROBES[0]}" "$SAMPLES/many/000029.iso"
  same "identify --entries after compact" "$D/before_entries.txt" "$TOOL" identify --gallery "$g" --top 0 --entries "${PROBES[0]}" "$SAMPLES/many/000029.iso"
  "$TOOL" gallery check "$g" | grep -Eq "^$g: intact: 412 templates of 103 subjects, 1 part\(s\), commit 5$" || bad "check after compact"
  ! "$TOOL" gallery info "$g" | grep -q '^removed' || bad "info after compact lists removed templates"
  # Re-enrolled: found again, under a new template id.
  "$TOOL" gallery add "$g" --subject iso/101 "$SAMPLES/iso/101_2.iso" >/dev/null
  "$TOOL" identify --gallery "$g" --top 1 "$SAMPLES/iso/101_2.iso" | grep -q $'^1\t100\t420\tiso/101$' || bad "re-enrolled subject"
  # verify: the subject's best score, as the reference computes it.
  for s in iso/102 m3 iso/101; do
    want=$("$REF" --gallery "$g" --verify $s "$SAMPLES/iso/102_1.iso")
    got=$("$TOOL" verify --gallery "$g" $s "$SAMPLES/iso/102_1.iso") || bad "verify $s: exit $?"
    [ "$got" = "$want" ] || bad "verify $s: $got, reference $want"
  done
  "$TOOL" verify --json --gallery "$g" iso/102 "$SAMPLES/iso/102_1.iso" | grep -q '"entry": 4' || bad "verify --json"
  expect "verify removed" 3 "^fpmatch: $g: no subject \"m7\"$" "$TOOL" verify --gallery "$g" m7 "${PROBES[0]}"
  expect "remove unknown" 3 "^fpmatch: $g: no subject \"nobody\" \(skipped\)$" "$TOOL" gallery remove "$g" nobody
  before=$(md5sum < "$g")
  expect "remove --strict" 3 "no subject \"nobody\"; nothing removed$" "$TOOL" gallery remove --strict "$g" iso/102 nobody
  [ "$(md5sum < "$g")" = "$before" ] || bad "remove --strict changed the gallery"
  expect "remove bad id" 3 "subject id must be 1 to 255 bytes" "$TOOL" gallery remove "$g" ""
  ;;
add_inputs)
  g=$D/g.fpg
  "$TOOL" gallery create "$g" >/dev/null || exit 1
  expect "create again" 4 "^fpmatch: $g: the file exists already$" "$TOOL" gallery create "$g"
  mkdir -p "$D/list"; cp "$SAMPLES/iso/103_1.iso" "$D/list/"
  printf '# comment\n\nalice\t%s\n%s\nbob\t103_1.iso\n  carol\t  %s  \n' "$SAMPLES/iso/101_1.iso" "$SAMPLES/iso/102_1.iso" \
    "$SAMPLES/native" > "$D/list/list.txt"
  out=$("$TOOL" gallery add "$g" --list "$D/list/list.txt" 2>"$D/err.txt") || bad "add --list: exit $?"
  [ "$out" = "added 23 templates to $g: 23 templates of 4 subjects in all" ] || bad "add --list: $out"
  [ ! -s "$D/err.txt" ] || bad "add --list printed on stderr (no progress off a terminal): $(cat "$D/err.txt")"
  [ "$("$TOOL" gallery info --subjects "$g" | tail -n 4)" = $'alice\t1\niso/102\t1\nbob\t1\ncarol\t20' ] \
    || bad "subjects: $("$TOOL" gallery info --subjects "$g")"
  # Bad files: reported and skipped (exit 1), all the good ones committed.
  expect "add skips bad" 1 "count0.tpl: declares 0 minutiae.* \(skipped\)$" "$TOOL" gallery add "$g" "$SAMPLES/bad" "$SAMPLES/iso/104_1.iso"
  grep -q "^added 1 template to $g: 24 templates of 5 subjects in all, 8 input(s) skipped$" "$D/out.txt" || bad "add skips bad: $(cat "$D/out.txt")"
  # --strict: nothing committed.
  before=$(md5sum < "$g")
  expect "add --strict" 3 "empty.iso: empty file$" "$TOOL" gallery add --strict "$g" "$SAMPLES/iso/105_1.iso" "$SAMPLES/bad/empty.iso"
  [ "$(md5sum < "$g")" = "$before" ] || bad "add --strict changed the gallery"
  expect "nothing usable" 3 "none of the 8 files could be enrolled; nothing committed" "$TOOL" gallery add "$g" "$SAMPLES/bad"
  [ "$(md5sum < "$g")" = "$before" ] || bad "a failed add changed the gallery"
  # A subject that cannot be made of a path, and one that is too long.
  expect "long subject" 3 "105_2.iso: a subject id must be 1 to 255 bytes.* \(skipped\)$" "$TOOL" gallery add "$g" --subject "$(printf 'x%.0s' $(seq 300))" "$SAMPLES/iso/105_1.iso" "$SAMPLES/iso/105_2.iso"
  [ "$(md5sum < "$g")" = "$before" ] || bad "a refused subject changed the gallery"
  expect "missing gallery" 3 "^fpmatch: $D/none.fpg: no such file$" "$TOOL" gallery add "$D/none.fpg" "$SAMPLES/iso"
  # Another writer holds the gallery: refused before any file is read.
  ( flock -x "$g" sleep 3 ) & sleep 0.5
  expect "locked" 3 "^fpmatch: $g: another writer has the gallery open$" "$TOOL" gallery add "$g" "$SAMPLES/bad/empty.iso"
  wait
  # On a terminal: a progress line.
  if command -v script >/dev/null; then
    script -qec "'$TOOL' gallery add '$g' '$SAMPLES/iso/105_3.iso' '$SAMPLES/iso/105_4.iso'" /dev/null > "$D/tty.txt"
    grep -q $'\radded 2/2' "$D/tty.txt" || bad "no progress on a terminal: $(cat -v "$D/tty.txt")"
  fi
  # The gallery inside an input folder is passed over.
  mkdir -p "$D/self"; cp "$SAMPLES/iso/101_1.iso" "$D/self/"; "$TOOL" gallery create "$D/self/g.fpg" >/dev/null
  "$TOOL" gallery add "$D/self/g.fpg" "$D/self" | grep -q "^added 1 template to" || bad "add of the gallery's own folder"
  ;;
pack)
  g=$D/p.fpg
  out=$("$TOOL" pack --shorts "$g" "$SAMPLES/iso") || bad "pack: exit $?"
  printf '%s\n' "$out" | grep -Eq "^packed 20 templates to $g: 20 templates of 20 subjects in 1 part\(s\), [0-9]+ bytes$" || bad "pack: $out"
  agree pack "$g" "" 10 "${PROBES[@]}"
  # Each file its own subject, named by its path.
  "$TOOL" identify --gallery "$g" --top 1 "$SAMPLES/iso/102_3.iso" | grep -Eq $'^1\t100\t[4-7]\t'"$SAMPLES/iso/102_[1-4].iso$" || bad "pack subject names"
  "$TOOL" pack --append "$g" "$SAMPLES/native" | grep -Eq "^appended 20 templates to $g: 40 templates of 40 subjects in 2 part\(s\)" || bad "append"
  agree pack_append "$g" "" 10 "${PROBES[@]}"
  # Packing again replaces the gallery in one step.
  "$TOOL" pack "$g" "$SAMPLES/iso/101_1.iso" | grep -q '1 templates of 1 subjects' || bad "pack over a gallery"
  # A gallery held by a writer is not replaced.
  "$TOOL" gallery create "$D/held.fpg" >/dev/null
  ( flock -x "$D/held.fpg" sleep 3 ) & sleep 0.5
  expect "pack over a held gallery" 3 "another writer has the gallery open" "$TOOL" pack "$D/held.fpg" "$SAMPLES/iso"
  wait
  ;;
v1)
  v1=$SAMPLES/v1/iso.fpg
  "$TOOL" gallery-info "$v1" > "$D/info.txt" || bad "gallery-info v1: exit $?"
  grep -q '^format      version 1 ' "$D/info.txt" && grep -q '^templates   20 templates of 20 subjects$' "$D/info.txt" \
    && grep -q '^shorts      20 of 20 templates$' "$D/info.txt" && grep -q '^parts       2$' "$D/info.txt" || bad "gallery-info v1: $(cat "$D/info.txt")"
  agree v1 "$v1" "" 10 "${PROBES[@]}"
  # By template, the ranking of the folder form over the same files (ids
  # are positions, subjects the packed names).
  for p in "$SAMPLES/iso/101_1.iso" "$SAMPLES/iso/104_2.iso"; do
    "$TOOL" identify "$p" "$SAMPLES/iso" | cut -f1,2,3 > "$D/folder.txt"
    "$TOOL" identify "$p" --gallery "$v1" --entries --top 0 | tail -n +2 | cut -f1,2,4 > "$D/packed.txt"
    cmp -s "$D/folder.txt" "$D/packed.txt" || bad "v1 --entries vs folder for $p"
    a=$("$TOOL" identify --first --threshold 30 "$p" "$SAMPLES/iso" | cut -f1,2)
    b=$("$TOOL" identify --first --threshold 30 "$p" --gallery "$v1" | cut -f2,4)
    [ "$a" = "$b" ] || bad "--first: $a vs $b"
  done
  "$TOOL" gallery check "$v1" | grep -q "intact: 20 templates of 20 subjects, 2 part(s), commit 0" || bad "check v1"
  expect "add to v1" 3 "a version-1 gallery opens read-only" "$TOOL" gallery add "$v1" "$SAMPLES/iso/101_1.iso"
  expect "screen v1 without shorts" 3 "holds no short templates to screen" "$TOOL" identify --screen 5 "${PROBES[0]}" --gallery "$SAMPLES/v1/noshorts.fpg"
  # Damaged version-1 files: refused by the library, its text printed.
  cp "$v1" "$D/v9.fpg"; printf '\x09' | dd of="$D/v9.fpg" bs=1 seek=8 conv=notrunc 2>/dev/null
  expect "v1 version 9" 3 "^fpmatch: $D/v9.fpg: gallery format version 9 \(this library reads 1 and 2\)$" "$TOOL" gallery-info "$D/v9.fpg"
  head -c 1000 "$v1" > "$D/cut.fpg"
  expect "v1 cut" 3 "^fpmatch: $D/cut.fpg: gallery: truncated, shorter than the size its header declares$" "$TOOL" identify --gallery "$D/cut.fpg" "${PROBES[0]}"
  ;;
damage)
  g=$D/g.fpg
  "$TOOL" pack "$g" "$SAMPLES/iso" >/dev/null || exit 1
  "$TOOL" pack --append "$g" "$SAMPLES/native" >/dev/null || exit 1
  "$TOOL" gallery check "$g" >/dev/null || bad "check of a sound gallery"
  # A byte of the second part's templates changed: check names the part.
  size=$(stat -c %s "$g")
  cp "$g" "$D/flip.fpg"; printf '\x55' | dd of="$D/flip.fpg" bs=1 seek=$((size - 4000)) conv=notrunc 2>/dev/null
  expect "flipped byte" 3 "^fpmatch: $D/flip.fpg: part 1 \(offset [0-9]+\): checksum mismatch$" "$TOOL" gallery check "$D/flip.fpg"
  head -c $((size - 100)) "$g" > "$D/cut.fpg"
  expect "truncated" 3 "^fpmatch: $D/cut.fpg: truncated: commit 3 declares $size bytes, the file has $((size - 100))$" "$TOOL" gallery info "$D/cut.fpg"
  : > "$D/empty.fpg"
  expect "empty" 3 "^fpmatch: $D/empty.fpg: not a gallery: the file is empty$" "$TOOL" gallery check "$D/empty.fpg"
  expect "iso record" 3 "^fpmatch: $SAMPLES/iso/101_1.iso: not a gallery: it is an ISO/IEC 19794-2 record$" "$TOOL" identify --gallery "$SAMPLES/iso/101_1.iso" "${PROBES[0]}"
  expect "folder" 3 "^fpmatch: $SAMPLES/iso: is a folder, not a gallery$" "$TOOL" gallery info "$SAMPLES/iso"
  expect "missing" 3 "^fpmatch: $D/none.fpg: no such file$" "$TOOL" verify --gallery "$D/none.fpg" x "${PROBES[0]}"
  ;;
doc)
  # The enrol / identify / remove example of docs/identification.md, run as
  # written there: every "$ " line in its first ```console block, in a fresh
  # folder with this build's fpmatch first on PATH; the output must be what
  # the page shows.
  mkdir -p "$D/bin" "$D/run"; ln -s "$TOOL" "$D/bin/fpmatch"
  awk '/^```console/ { on = 1; next } /^```/ { if (on) exit } on' "$DOC" > "$D/example.txt"
  [ -s "$D/example.txt" ] || { bad "no console block in $DOC"; exit 1; }
  n=0; cmd=""; : > "$D/want.txt"; : > "$D/got.txt"
  run() { [ -n "$cmd" ] && (cd "$D/run" && PATH="$D/bin:$PATH" bash -c "$cmd" 2>&1) >> "$D/got.txt"; }
  while IFS= read -r line; do
    if [ "${line:0:2}" = '$ ' ]; then run; cmd=${line:2}; n=$((n + 1)); printf '%s\n' "== $cmd" >> "$D/got.txt"; printf '%s\n' "== $cmd" >> "$D/want.txt"
    else printf '%s\n' "$line" >> "$D/want.txt"; fi
  done < "$D/example.txt"
  run
  [ $n -ge 8 ] || bad "the example runs only $n commands"
  diff "$D/want.txt" "$D/got.txt" || bad "the example's output differs from the page"
  ;;
*) echo "usage: id_tests.sh generated|fvc|changes|add_inputs|pack|v1|damage|doc" >&2; exit 2 ;;
esac
exit $fail
