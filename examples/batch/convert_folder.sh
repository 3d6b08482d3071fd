#!/usr/bin/env bash
# Converts every cube of a folder with GNU parallel, one output folder per
# scene, jobs x threads = the CPUs given:
#
#   examples/batch/convert_folder.sh SCENES_DIR OUT_DIR [THREADS_PER_JOB] [PATTERN]
#
# The recipe is the one parallel line below. A scene whose metadata.json
# exists is complete (vexil renames its outputs into place together, the
# sidecar last) and is skipped; --joblog/--resume-failed make a rerun after a
# failure redo only what failed or never ran.
set -euo pipefail
scenes="${1:?usage: $0 SCENES_DIR OUT_DIR [THREADS_PER_JOB] [PATTERN]}"
out="${2:?usage: $0 SCENES_DIR OUT_DIR [THREADS_PER_JOB] [PATTERN]}"
threads="${3:-1}"
pattern="${4:-*.hdr}"
vexil="${VEXIL:-vexil}"
cpus="$(nproc)"
jobs=$(( cpus / threads > 0 ? cpus / threads : 1 ))
mkdir -p "$out"
export vexil out threads

find "$scenes" -maxdepth 1 -type f -name "$pattern" | sort |
  parallel --jobs "$jobs" --joblog "$out/joblog.tsv" --resume-failed \
    'test -s "$out/{/.}/metadata.json" || "$vexil" convert_to_mat --img {} --out-dir "$out/{/.}" --threads "$threads"'
