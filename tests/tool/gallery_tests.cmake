# Tests of galleries: `fpmatch gallery ...`, `pack`, `gallery-info`,
# `identify --gallery` and `verify` (included from CMakeLists.txt; tool_test
# and shell_test come from there). id_tests.sh holds the differential
# checks against the brute-force reference (reference_identify.cpp).

add_test(NAME tool.gallery_workdir COMMAND ${CMAKE_COMMAND} -E make_directory ${WORK}/gallery)
set_tests_properties(tool.gallery_workdir PROPERTIES FIXTURES_SETUP gallery_workdir)

# pack: bad template files are reported and skipped (exit 1), stop the run
# with --strict (exit 3, nothing written); nothing usable is an error; a file
# that is not a gallery is never overwritten.
tool_test(pack 0 "^packed 20 templates to .*: 20 templates of 20 subjects in 1 part\\(s\\), [0-9]+ bytes$" EMPTY 0
  pack ${WORK}/gallery/iso.fpg ${SAMPLES}/iso)
tool_test(pack_skips_bad 1 "^packed 20 templates .*, 8 input\\(s\\) skipped$" "\\(skipped\\)" 8
  pack ${WORK}/gallery/skips.fpg ${SAMPLES}/iso ${SAMPLES}/bad)
tool_test(pack_strict 3 EMPTY "count0.tpl: declares 0 minutiae" 1 pack --strict ${WORK}/gallery/strict.fpg ${SAMPLES}/bad ${SAMPLES}/iso)
tool_test(pack_nothing_usable 3 EMPTY "none of the 8 files is a usable template" 9 pack ${WORK}/gallery/none.fpg ${SAMPLES}/bad)
tool_test(pack_keeps_non_gallery 4 EMPTY "101_1.iso: exists and is not a readable gallery .*; not overwritten" 1
  pack ${SAMPLES}/iso/101_1.iso ${SAMPLES}/iso/101_2.iso)
tool_test(pack_append_missing 3 EMPTY "nowhere.fpg: no such file \\(--append" 1 pack --append ${WORK}/nowhere.fpg ${SAMPLES}/iso)
shell_test(pack_strict_writes_nothing
  "mkdir -p $WORK/gallery; rm -f $WORK/gallery/strict2.fpg; $TOOL pack --strict $WORK/gallery/strict2.fpg $SAMPLES/bad 2>/dev/null; [ $? = 3 ] && [ ! -e $WORK/gallery/strict2.fpg ]")

# Round trip: pack, append twice (ISO records, then native templates, then
# two ISO files again, which join the subjects of their paths); every
# template comes back in input order with its path as subject and the bytes
# the comparison reads (an ISO record without the 2-byte length of its empty
# extended data; 56 + 4 x min(count, 25) of a native template), every one
# with a short template.
shell_test(pack_append_round_trip [=[
set -e; export LC_ALL=C; d=$WORK/gallery/rt; rm -rf $d; mkdir -p $d
$TOOL pack --shorts $d/g.fpg $SAMPLES/native >/dev/null
$TOOL pack --append $d/g.fpg $SAMPLES/iso | grep -q 'appended 20 templates to .*: 40 templates of 40 subjects in 2 part(s)'
printf '%s\n' $SAMPLES/iso/101_1.iso $SAMPLES/iso/102_2.iso > $d/list.txt
$TOOL pack --append $d/g.fpg --list $d/list.txt | grep -q '42 templates of 40 subjects in 3 part(s)'
$TOOL gallery-info $d/g.fpg | grep -q '^templates   42 templates of 40 subjects$'
expected=$(for f in $SAMPLES/native/* $SAMPLES/iso/* $SAMPLES/iso/101_1.iso $SAMPLES/iso/102_2.iso; do s=$(stat -c %s $f); case $f in *.tpl) [ $s -gt 156 ] && s=156;; *.iso) s=$((s - 2));; esac; printf '%s\t%s bytes\n' $f $s; done)
got=$($TOOL gallery-info --entries $d/g.fpg | cut -f2-)
[ "$expected" = "$got" ]
$TOOL gallery-info --entries $d/g.fpg | head -1 | grep -q '^0	'
$TOOL gallery-info --entries $d/g.fpg | tail -1 | grep -q '^41	'
$TOOL gallery info --subjects $d/g.fpg | grep -q "^$SAMPLES/iso/101_1.iso	2$"
]=])
# A gallery inside an input folder is not packed into itself.
shell_test(pack_skips_itself [=[
set -e; d=$WORK/gallery/self; rm -rf $d; mkdir -p $d; cp $SAMPLES/iso/10[12]_*.iso $d/
$TOOL pack $d/g.fpg $d | grep -q '^packed 8 templates'
$TOOL pack $d/g.fpg $d | grep -q '^packed 8 templates.*: 8 templates of 8 subjects'
]=])

# gallery-info: one line naming the file and the fault in the library's
# words, exit 3: version-1 files (written by the core library's writers)
# damaged in each way, and files that are no gallery.
shell_test(gallery_bad_files [=[
d=$WORK/gallery/bad; rm -rf $d; mkdir -p $d
good=$SAMPLES/v1/iso.fpg
head -c 40 $good > $d/header.fpg
head -c 1000 $good > $d/cut.fpg
cp $good $d/v9.fpg; printf '\x09' | dd of=$d/v9.fpg bs=1 seek=8 conv=notrunc 2>/dev/null
cp $good $d/stride.fpg; printf '\x01\x00' | dd of=$d/stride.fpg bs=1 seek=88 conv=notrunc 2>/dev/null
cp $good $d/count.fpg; printf '\x15' | dd of=$d/count.fpg bs=1 seek=16 conv=notrunc 2>/dev/null
: > $d/empty.fpg
fail=0
check() {  # check FILE MESSAGE
  err=$($TOOL gallery-info "$1" 2>&1 >/dev/null); rc=$?
  if [ $rc != 3 ] || [ "$(printf '%s\n' "$err" | wc -l)" != 1 ] || ! printf '%s' "$err" | grep -Eq "^fpmatch: $1: $2"; then
    echo "$1: exit $rc, stderr: $err"; fail=1
  fi
}
check $d/header.fpg 'gallery: truncated, shorter than its header$'
check $d/cut.fpg 'gallery: truncated, shorter than the size its header declares$'
check $d/v9.fpg 'gallery format version 9 \(this library reads 1 and 2\)$'
check $d/stride.fpg "gallery: a segment's template slot size"
check $d/count.fpg "gallery: the segments' entry counts disagree"
check $d/empty.fpg 'not a gallery: the file is empty$'
check $SAMPLES/iso/101_1.iso 'not a gallery: it is an ISO/IEC 19794-2 record$'
check $SAMPLES/native/101_1.tpl 'not a gallery: no gallery signature$'
check $d/none.fpg 'no such file$'
check $SAMPLES/iso 'is a folder, not a gallery$'
# Appending to a damaged gallery is refused before anything is written.
before=$(md5sum < $d/cut.fpg)
$TOOL pack --append $d/cut.fpg $SAMPLES/iso 2>/dev/null; [ $? = 3 ] || { echo "append to cut.fpg: exit $?"; fail=1; }
[ "$(md5sum < $d/cut.fpg)" = "$before" ] || { echo "cut.fpg changed"; fail=1; }
exit $fail
]=])
shell_test(gallery_json_valid
  "command -v python3 >/dev/null || exit 77; set -e; mkdir -p $WORK/gallery; $TOOL pack --shorts $WORK/gallery/j.fpg $SAMPLES/iso >/dev/null; $TOOL gallery-info --json --entries $WORK/gallery/j.fpg | python3 -m json.tool >/dev/null")
fvc_test(fvc_pack_adapt 0 "^packed 320 templates .*: 320 templates of 320 subjects in 1 part\\(s\\), [0-9]+ bytes$" EMPTY 0
  pack --adapt --shorts ${WORK}/gallery/fvc.fpg ${FVC}/DB1_B ${FVC}/DB2_B ${FVC}/DB3_B ${FVC}/DB4_B)
set_property(TEST tool.pack tool.pack_skips_bad tool.pack_strict tool.pack_nothing_usable tool.fvc_pack_adapt
  APPEND PROPERTY FIXTURES_REQUIRED gallery_workdir)

# identify --gallery: the same ranking as the folder form over the same
# templates (text columns rank, score, name), for one or two threads, and
# several probes per run; --screen keeping every candidate equals the full
# search; --first agrees with the folder form; bad uses are refused.
shell_test(identify_gallery_equals_folder [=[
set -e; export LC_ALL=C; d=$WORK/gallery/id; rm -rf $d; mkdir -p $d
$TOOL pack --shorts $d/g.fpg $SAMPLES/iso >/dev/null
for p in $SAMPLES/iso/101_1.iso $SAMPLES/iso/104_2.iso; do
  $TOOL identify $p $SAMPLES/iso | cut -f1,2,3 > $d/folder.txt
  $TOOL identify $p --gallery $d/g.fpg --top 0 --threads 1 | tail -n +2 | cut -f1,2,4 > $d/packed1.txt
  $TOOL identify $p --gallery $d/g.fpg --top 0 --threads 2 | tail -n +2 | cut -f1,2,4 > $d/packed2.txt
  $TOOL identify $p --gallery $d/g.fpg --top 0 --screen 1000 | tail -n +2 | cut -f1,2,4 > $d/screened.txt
  cmp $d/folder.txt $d/packed1.txt; cmp $d/packed1.txt $d/packed2.txt; cmp $d/packed1.txt $d/screened.txt
  a=$($TOOL identify --first --threshold 30 $p $SAMPLES/iso | cut -f1,2)
  b=$($TOOL identify --first --threshold 30 $p --gallery $d/g.fpg | cut -f2,4)
  [ "$a" = "$b" ] || { echo "--first: $a vs $b"; exit 1; }
done
# Two probes in one run: two blocks, each as the probe alone.
$TOOL identify $SAMPLES/iso/101_1.iso $SAMPLES/iso/104_2.iso --gallery $d/g.fpg --top 3 > $d/two.txt
{ $TOOL identify $SAMPLES/iso/101_1.iso --gallery $d/g.fpg --top 3; $TOOL identify $SAMPLES/iso/104_2.iso --gallery $d/g.fpg --top 3; } > $d/one_by_one.txt
cmp $d/two.txt $d/one_by_one.txt
]=])
set_property(TEST tool.identify_gallery_equals_folder APPEND PROPERTY FIXTURES_REQUIRED gallery_workdir)
tool_test(identify_screen_needs_gallery 2 EMPTY "^fpmatch: identify: --screen needs --gallery" 1
  identify --screen 5 ${SAMPLES}/iso/101_1.iso ${SAMPLES}/iso)
shell_test(identify_screen_needs_shorts
  "out=$($TOOL identify --screen 5 $SAMPLES/iso/101_1.iso --gallery $SAMPLES/v1/noshorts.fpg 2>&1); [ $? = 3 ] && printf '%s' \"$out\" | grep -q 'holds no short templates'")
shell_test(identify_gallery_json
  "command -v python3 >/dev/null || exit 77; set -e; mkdir -p $WORK/gallery; $TOOL pack $WORK/gallery/js.fpg $SAMPLES/iso >/dev/null; $TOOL identify --json --top 4 $SAMPLES/iso/101_1.iso $SAMPLES/iso/102_1.iso --gallery $WORK/gallery/js.fpg | python3 -c 'import json,sys; j=json.load(sys.stdin); h=j[\"probes\"][1][\"hits\"]; assert len(j[\"probes\"])==2 and len(h)==4 and h[0][\"score\"]>=h[1][\"score\"] and list(h[0])==[\"subject\",\"score\",\"entry\"] and j[\"by\"]==\"subject\"'")

# gallery info counts the templates stored without a compact record (a
# gallery written by 1.0) until compaction prepares them.
shell_test(gallery_info_prepared "set -e; mkdir -p $WORK/prepared; cp ${PROJECT_SOURCE_DIR}/tests/galleries/1.0-three-subjects-one-removed.fpg $WORK/prepared/old.fpg; \
$TOOL gallery info $WORK/prepared/old.fpg | grep -qx 'prepared    0 of 4 templates (`fpmatch gallery compact` prepares the rest)'; \
$TOOL gallery compact $WORK/prepared/old.fpg >/dev/null; $TOOL gallery info $WORK/prepared/old.fpg | grep -qx 'prepared    4 of 4 templates'; \
$TOOL gallery info --json $WORK/prepared/old.fpg | grep -q '\"compactRecords\": 4,'")

# Galleries of subjects against the brute-force reference, changes,
# enrolment inputs, pack, version-1 files and damage
# (id_tests.sh CASE); the docs example runs in docs.examples.
# SANITIZED tells the script it runs under the sanitizers.
if(FPMATCH_SANITIZE OR FPMATCH_TSAN)
  set(_sanitized 1)
else()
  set(_sanitized 0)
endif()
foreach(case generated fvc changes add_inputs pack v1 damage)
  add_test(NAME tool.id.${case} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/id_tests.sh ${case})
  set_tests_properties(tool.id.${case} PROPERTIES FIXTURES_REQUIRED tool_samples SKIP_RETURN_CODE 77 TIMEOUT 600
    ENVIRONMENT "TOOL=${TOOL};REF=$<TARGET_FILE:fpmatch_reference_identify>;SAMPLES=${SAMPLES};WORK=${WORK};FVC=${FVC};DOC=${PROJECT_SOURCE_DIR}/docs/identification.md;SANITIZED=${_sanitized}")
endforeach()
