#!/usr/bin/env bash
# fpmatch-mpi tests, one case per CTest test: mpi_tests.sh CASE
# Environment: TOOL (fpmatch-mpi), SINGLE (fpmatch), REF (fpmatch_mpi_reference), MAKE_SAMPLES,
# MPIRUN, WORK (scratch folder), FVC (FVC2002 folder).
#
# mpirun as root (CI containers) needs --allow-run-as-root; --oversubscribe
# lets 3 ranks run on a 2-core machine. Shared-memory transport without
# cross-memory attach (containers often forbid ptrace) needs
# btl_vader_single_copy_mechanism=none.
set -u
export OMPI_MCA_btl_vader_single_copy_mechanism=none
# In sanitizer builds: Open MPI does not free everything at MPI_Finalize, and
# the components it allocated from are unloaded by then, so no suppression
# list can name them; leak checking stays off here (the tool tests check the
# shared code for leaks), every other check stays on.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
export OMPI_MCA_rmaps_base_oversubscribe=1
MPI=("$MPIRUN" --allow-run-as-root --oversubscribe)
G=$WORK/gen
BYS=("" --entries)
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# same NAME EXPECTED_FILE COMMAND...: the command's standard output equals the
# file and it exits 0.
same() {
  local name=$1 expected=$2; shift 2
  local out rc
  out=$("$@" 2>"$WORK/err.txt"); rc=$?
  if [ $rc != 0 ]; then bad "$name: exit $rc: $(cat "$WORK/err.txt")"; return; fi
  if [ "$out" != "$(cat "$expected")" ]; then
    bad "$name: output differs from the reference"; diff <(printf '%s\n' "$out") "$expected" | head -20
  fi
}

# ranks_agree LABEL TOP THRESHOLD ADAPT SINGLE GALLERIES...: with PROBES set,
# by subject and by template (BYS: "" and --entries unless set), for 1, 2 and 3 ranks, 1 and 2
# threads, the output equals the brute-force reference over the one-file
# gallery SINGLE (text and JSON), as does single-process fpmatch.
ranks_agree() {
  local label=$1 top=$2 threshold=$3 adapt=$4; shift 4
  local -a probes=("${PROBES[@]}")
  local single=$1; shift   # the one-file gallery, for the reference
  local -a galleries=("$@")
  local by
  for by in "${BYS[@]}"; do
    local ref=$WORK/$label$by.ref
    $REF --gallery "$single" --top $top --threshold $threshold $by $adapt "${probes[@]}" > "$ref" || { bad "$label$by: reference failed"; continue; }
    $REF --gallery "$single" --top $top --threshold $threshold $by $adapt --json "${probes[@]}" > "$ref.json" || { bad "$label$by: reference failed"; continue; }
    [ "$(wc -l < "$ref")" -gt "${#probes[@]}" ] || bad "$label$by: the reference lists no hit"
    # The single-process tool over the one-file gallery prints the same.
    same "$label$by fpmatch identify --gallery" "$ref" \
      "$SINGLE" identify --gallery "$single" --top $top --threshold $threshold $by $adapt "${probes[@]}"
    same "$label$by fpmatch identify --gallery --json" "$ref.json" \
      "$SINGLE" identify --json --gallery "$single" --top $top --threshold $threshold $by $adapt "${probes[@]}"
    for np in 1 2 3; do
      for threads in 1 2; do
        for g in "${galleries[@]}"; do
          same "$label$by np=$np threads=$threads gallery=$g" "$ref" \
            "${MPI[@]}" -np $np "$TOOL" identify --gallery "$g" --top $top --threshold $threshold --threads $threads $by $adapt "${probes[@]}"
        done
      done
      # JSON: the gallery as named on the command line.
      sed "s|\"gallery\": \"$single\"|\"gallery\": \"${galleries[-1]}\"|" "$ref.json" > "$ref.2.json"
      same "$label$by np=$np json" "$ref.2.json" \
        "${MPI[@]}" -np $np "$TOOL" identify --json --gallery "${galleries[-1]}" --top $top --threshold $threshold --threads 1 $by $adapt "${probes[@]}"
    done
  done
}

case ${1:-} in
setup)
  rm -rf "$G"; mkdir -p "$G"
  "$MAKE_SAMPLES" "$G/samples" --many 3000 >/dev/null || exit 1
  # The same 3,020 templates as one file and as 2 and 3 shards; a tiny
  # gallery of two entries (fewer entries than ranks).
  for n in 1 2 3; do
    "$TOOL" pack --shards $n "$G/g$n" "$G/samples/iso" "$G/samples/many" > "$G/pack$n.txt" || exit 1
  done
  # Balanced in input order: part s begins at total * s / N.
  printf '%s\n' "shard 0: $G/g3.0.fpg: entries 0..1005" "shard 1: $G/g3.1.fpg: entries 1006..2012" \
    "shard 2: $G/g3.2.fpg: entries 2013..3019" > "$G/pack3.expected"
  diff <(sed 's/, [0-9]* bytes$//' "$G/pack3.txt") "$G/pack3.expected" || { echo "FAIL: pack --shards 3"; exit 1; }
  "$TOOL" pack --shards 4 "$G/few" "$G/samples/iso/101_1.iso" "$G/samples/iso/102_1.iso" 2>"$G/few.err"
  [ $? = 3 ] && grep -q "2 usable template(s) cannot fill 4 shards; nothing written" "$G/few.err" && [ ! -e "$G/few.0.fpg" ] \
    || { echo "FAIL: pack --shards 4 of 2 templates: $(cat "$G/few.err")"; exit 1; }
  "$TOOL" pack --shards 1 "$G/tiny" "$G/samples/iso/101_1.iso" "$G/samples/iso/102_1.iso" >/dev/null || exit 1
  # A gallery of subjects of several templates far apart: subject m<k>
  # holds fingers k, k + 250, ... (4 impressions each), so its templates lie
  # on different ranks and in different shards; some subjects removed.
  for k in $(seq 0 2999); do printf 'm%d\t%s/samples/many/%06d.iso\n' $(( (k / 4) % 250 )) "$G" $k; done > "$G/list.txt"
  "$SINGLE" gallery create "$G/subjects.fpg" >/dev/null && "$SINGLE" gallery add "$G/subjects.fpg" --list "$G/list.txt" >/dev/null \
    && "$SINGLE" gallery add "$G/subjects.fpg" "$G/samples/iso" >/dev/null && "$SINGLE" gallery remove "$G/subjects.fpg" m3 m77 >/dev/null \
    || { echo "FAIL: the gallery of subjects"; exit 1; }
  # Its live templates cut into 1 and 3 shards (subjects kept; template ids
  # of shard s follow those of the shards before it, so the 3 shards number
  # their templates as the one-shard file does).
  "$TOOL" pack --shards 1 "$G/subjects1" "$G/subjects.fpg" >/dev/null || exit 1
  "$TOOL" pack --shards 3 "$G/subjects3" "$G/subjects.fpg" >/dev/null || exit 1
  ;;
generated)
  PROBES_GEN=("$G/samples/iso/101_1.iso" "$G/samples/native/103_2.tpl" "$G/samples/many/000005.iso" "$G/samples/iso/105_4.iso")
  PROBES=("${PROBES_GEN[@]}")
  # Low scores tie a lot: the top 40 runs deep into ties, broken by index.
  # Each file is its own subject here: by template only where it adds a path.
  BYS=("")
  ranks_agree gen 40 0 "" "$G/g1.0.fpg" "$G/g1.0.fpg" "$G/g2.0.fpg,$G/g2.1.fpg" "$G/g3.0.fpg,$G/g3.1.fpg,$G/g3.2.fpg"
  ranks_agree gen_threshold 10 30 "" "$G/g1.0.fpg" "$G/g3.0.fpg,$G/g3.1.fpg,$G/g3.2.fpg"
  BYS=(--entries)
  ranks_agree gen 40 0 "" "$G/g1.0.fpg" "$G/g3.0.fpg,$G/g3.1.fpg,$G/g3.2.fpg"
  BYS=("" --entries)
  # Repeated --gallery is the same as a comma-separated list; each takes one
  # value, so probes may follow it.
  same "repeated --gallery" "$WORK/gen.ref" "${MPI[@]}" -np 2 "$TOOL" identify --gallery "$G/g3.0.fpg" --gallery "$G/g3.1.fpg" \
    --gallery "$G/g3.2.fpg" "${PROBES[@]}" --top 40 --threads 1
  # Subjects whose templates lie on several ranks and shards, some removed.
  PROBES=("$G/samples/many/000012.iso" "$G/samples/many/002001.iso" "$G/samples/iso/103_3.iso")
  ranks_agree subjects 25 0 "" "$G/subjects.fpg" "$G/subjects.fpg"
  ranks_agree subjects3 25 0 "" "$G/subjects1.0.fpg" "$G/subjects1.0.fpg" "$G/subjects3.0.fpg,$G/subjects3.1.fpg,$G/subjects3.2.fpg"
  # Shards cut from a gallery: the same subjects and scores as the gallery.
  diff <(cut -f2,4 "$WORK/subjects.ref") <(cut -f2,4 "$WORK/subjects3.ref") >/dev/null || bad "shards of a gallery rank otherwise"
  # --top defaults to 10.
  same "default top" "$WORK/gen_threshold.ref" "${MPI[@]}" -np 2 "$TOOL" identify --gallery "$G/g1.0.fpg" --threshold 30 "${PROBES_GEN[@]}"
  # More ranks than entries, and K above the entry count.
  PROBES=("$G/samples/iso/101_2.iso")
  BYS=("")
  ranks_agree tiny 5 0 "" "$G/tiny.0.fpg" "$G/tiny.0.fpg"
  ;;
fvc)
  [ -d "$FVC/DB1_B" ] || { echo "FVC2002 data not found at $FVC"; exit 77; }
  F=$WORK/fvc; rm -rf "$F"; mkdir -p "$F"
  "$TOOL" pack --adapt --shards 1 "$F/all" "$FVC/DB1_B" "$FVC/DB2_B" "$FVC/DB3_B" "$FVC/DB4_B" >/dev/null || exit 1
  "$TOOL" pack --shards 3 "$F/part" "$F/all.0.fpg" >/dev/null || exit 1
  PROBES=("$FVC/DB1_B/101_1.iso" "$FVC/DB2_B/105_3.iso" "$FVC/DB3_B/104_1.iso" "$FVC/DB4_B/110_8.iso")
  ranks_agree fvc 10 0 --adapt "$F/all.0.fpg" "$F/all.0.fpg" "$F/part.0.fpg,$F/part.1.fpg,$F/part.2.fpg"
  ;;
faults)
  D=$WORK/faults; rm -rf "$D"; mkdir -p "$D/a" "$D/b"
  P=$G/samples/iso/101_1.iso
  # expect NAME EXIT STDERR_RE COMMAND...: exit code, nothing on standard
  # output, the error on standard error.
  expect() {
    local name=$1 code=$2 re=$3; shift 3
    local out rc
    out=$("$@" 2>"$WORK/err.txt"); rc=$?
    [ $rc = "$code" ] || bad "$name: exit $rc, expected $code: $(cat "$WORK/err.txt")"
    [ -z "$out" ] || bad "$name: printed a result: $out"
    grep -Eq "$re" "$WORK/err.txt" || bad "$name: stderr lacks /$re/: $(cat "$WORK/err.txt")"
  }
  head -c 1000 "$G/g3.1.fpg" > "$D/cut.fpg"
  for np in 1 2 3; do
    expect "missing shard np=$np" 3 "^fpmatch-mpi: shard $D/none.fpg: no such file \(on every rank\)$" \
      "${MPI[@]}" -np $np "$TOOL" identify --gallery "$G/g3.0.fpg,$D/none.fpg" --top 3 "$P"
    expect "truncated shard np=$np" 3 "^fpmatch-mpi: shard $D/cut.fpg: truncated" \
      "${MPI[@]}" -np $np "$TOOL" identify --gallery "$G/g3.0.fpg,$D/cut.fpg,$G/g3.2.fpg" --top 3 "$P"
  done
  # Shards on local disks: rank 1 runs in a folder without the shard it
  # needs, or with another file under its name.
  cp "$G/g2.0.fpg" "$G/g2.1.fpg" "$D/a/"; cp "$G/g2.0.fpg" "$D/b/"
  expect "shard missing on rank 1" 3 "^fpmatch-mpi: rank 1 \(.*\): shard g2.1.fpg: no such file$" \
    "${MPI[@]}" -np 1 -wdir "$D/a" "$TOOL" identify --gallery g2.0.fpg,g2.1.fpg --top 3 "$P" : \
                -np 1 -wdir "$D/b" "$TOOL" identify --gallery g2.0.fpg,g2.1.fpg --top 3 "$P"
  cp "$G/tiny.0.fpg" "$D/b/g2.1.fpg"
  expect "another shard on rank 1" 3 "^fpmatch-mpi: shard g2.1.fpg: not the same gallery on every rank: 2 entries on one, 1510 on another$" \
    "${MPI[@]}" -np 1 -wdir "$D/a" "$TOOL" identify --gallery g2.0.fpg,g2.1.fpg --top 3 "$P" : \
                -np 1 -wdir "$D/b" "$TOOL" identify --gallery g2.0.fpg,g2.1.fpg --top 3 "$P"
  # A rank that dies: the job ends with an error and no result.
  out=$("${MPI[@]}" -np 1 "$TOOL" identify --gallery "$G/g1.0.fpg" --top 3 "$P" : -np 1 bash -c 'kill -9 $$' 2>"$WORK/err.txt"); rc=$?
  [ $rc != 0 ] || bad "dead rank: exit 0"
  [ -z "$out" ] || bad "dead rank: printed a result: $out"
  # Bad probe: reported and skipped (exit 1); no usable probe: exit 3.
  out=$("${MPI[@]}" -np 2 "$TOOL" identify --gallery "$G/g1.0.fpg" --top 3 "$P" "$G/samples/bad/empty.iso" 2>"$WORK/err.txt"); rc=$?
  [ $rc = 1 ] || bad "skipped probe: exit $rc"
  [ "$(printf '%s\n' "$out" | head -1)" = "$P" ] || bad "skipped probe: output $out"
  grep -q "empty.iso: empty file (skipped)" "$WORK/err.txt" || bad "skipped probe: $(cat "$WORK/err.txt")"
  expect "no usable probe" 3 "no usable probe" "${MPI[@]}" -np 2 "$TOOL" identify --gallery "$G/g1.0.fpg" --top 3 "$G/samples/bad/empty.iso"
  ;;
cli)
  # --top defaults to 10, as in fpmatch identify --gallery.
  PROBES=("$G/samples/iso/101_1.iso" "$G/samples/iso/105_4.iso")
  "$SINGLE" identify --gallery "$G/g1.0.fpg" --top 10 --threads 1 "${PROBES[@]}" > "$WORK/top10.ref" ||
    bad "fpmatch identify --top 10 failed"
  # A line per probe, then its 10 hits.
  [ "$(wc -l < "$WORK/top10.ref")" = 22 ] || bad "the --top 10 reference does not list 10 hits per probe"
  same "no --top np=2" "$WORK/top10.ref" "${MPI[@]}" -np 2 "$TOOL" identify --gallery "$G/g1.0.fpg" --threads 1 "${PROBES[@]}"
  # Every message names fpmatch-mpi; help and version need no mpirun.
  out=$("$TOOL" identify --top 3 "$G/samples/iso/101_1.iso" 2>"$WORK/err.txt"); rc=$?
  [ $rc = 2 ] && [ -z "$out" ] || bad "no --gallery: exit $rc, output '$out'"
  grep -Eq '^fpmatch-mpi: command line: .*--gallery.* \(see fpmatch-mpi --help\)$' "$WORK/err.txt" ||
    bad "no --gallery: $(cat "$WORK/err.txt")"
  out=$("${MPI[@]}" -np 2 "$TOOL" identify --gallery "$G/g1.0.fpg" --top 3 "$G/samples/bad/empty.iso" 2>"$WORK/err.txt")
  grep -q '^fpmatch-mpi: ' "$WORK/err.txt" && ! grep -q '^fpmatch: ' "$WORK/err.txt" ||
    bad "a bad probe is not reported by fpmatch-mpi: $(cat "$WORK/err.txt")"
  "$TOOL" pack --shards 1 "$WORK/cli-none" 2>"$WORK/err.txt"
  grep -q '^fpmatch-mpi: pack: no templates given' "$WORK/err.txt" || bad "pack without inputs: $(cat "$WORK/err.txt")"
  out=$("$TOOL" --version) && [[ $out == "fpmatch-mpi "* ]] || bad "--version: $out"
  "$TOOL" identify --help | grep -q 'K best per probe (default 10' || bad "identify --help does not give --top's default"
  ;;
*) echo "usage: mpi_tests.sh setup|generated|fvc|faults|cli" >&2; exit 2 ;;
esac
exit $fail
