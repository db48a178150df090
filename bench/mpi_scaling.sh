#!/usr/bin/env bash
# Throughput of fpmatch-mpi against the number of ranks on this machine:
#   bench/mpi_scaling.sh [BUILD_DIR] [ENTRIES] [PROBES]
# Generates ENTRIES synthetic ISO records (default 100,000; fpmatch_make_samples),
# packs them into one gallery, and runs `fpmatch-mpi identify --timing` with
# 1, 2 and 3 ranks of one thread each (and 1 rank of 2 threads), PROBES probes
# per run (default 2). The figure is comparisons per second over the search
# (broadcast of the probes to merged result), measured on rank 0; mpirun's
# start-up is not included. Needs the fpmatch_mpi and fpmatch_make_samples
# targets built.
set -euo pipefail
build=${1:-build}
entries=${2:-100000}
nprobes=${3:-2}
tool=$build/tools/fpmatch-mpi/fpmatch-mpi
make_samples=$build/tools/tests/fpmatch_make_samples
work=$build/bench-mpi
export OMPI_MCA_btl_vader_single_copy_mechanism=none
mpi=(mpirun --allow-run-as-root --oversubscribe)
if [ ! -e "$work/g$entries.0.fpg" ]; then
  rm -rf "$work"; mkdir -p "$work"
  "$make_samples" "$work/samples" --many "$entries" >/dev/null
  "$tool" pack --shards 1 "$work/g$entries" "$work/samples/many" >/dev/null
  rm -rf "$work/samples/many"
fi
probes=()
for i in $(seq 1 "$nprobes"); do probes+=("$work/samples/iso/10$(( (i - 1) % 5 + 1 ))_1.iso"); done
echo "gallery: $entries entries, $(stat -c %s "$work/g$entries.0.fpg") bytes; $nprobes probe(s); $(nproc) core(s)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
# Open MPI binds up to two ranks to one core each: a rank with threads needs
# --bind-to none (or --map-by ...:PE=N).
for run in "1 1" "2 1" "3 1" "1 2 --bind-to none"; do
  set -- $run
  np=$1 threads=$2; shift 2
  "${mpi[@]}" "$@" -np "$np" "$tool" identify --timing --threads "$threads" --top 10 --gallery "$work/g$entries.0.fpg" \
    "${probes[@]}" 2>&1 >/dev/null | sed "s/^/threads per rank $threads: /"
done
