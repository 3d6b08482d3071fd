#!/usr/bin/env bash
# One scene per Slurm array task, from a manifest with one line per scene:
#
#   image<TAB>ground truth or -<TAB>output folder<TAB>crop "Y X H W" or empty
#
# Submit N scenes, at most M at a time:
#   sbatch --array=1-N%M --cpus-per-task=4 examples/batch/slurm_convert.sh manifest.tsv
#
# Each task converts its line with --threads "$SLURM_CPUS_PER_TASK", skips a
# scene whose metadata.json exists (outputs are complete once it does), and
# appends "task<TAB>exit status<TAB>image" to STATUS_FILE (default
# <manifest>.status.tsv), so a rerun of the same array converts only what is
# missing and the failures are listed in one file.
#SBATCH --job-name=vexil-convert
#SBATCH --output=vexil-%A_%a.log
set -uo pipefail
manifest="${1:?usage: sbatch --array=1-N%M $0 MANIFEST}"
task="${SLURM_ARRAY_TASK_ID:?not running as a Slurm array task}"
threads="${SLURM_CPUS_PER_TASK:-1}"
vexil="${VEXIL:-vexil}"
status_file="${STATUS_FILE:-$manifest.status.tsv}"

line="$(sed -n "${task}p" "$manifest")"
if [ -z "$line" ]; then
  echo "task $task: no line $task in $manifest" >&2
  exit 2
fi
IFS=$'\t' read -r img gt out crop <<<"$line"

if [ -s "$out/metadata.json" ]; then
  echo "task $task: $out is complete, skipped"
  exit 0
fi
args=(convert_to_mat --img "$img" --out-dir "$out" --threads "$threads")
if [ -n "${gt:-}" ] && [ "$gt" != "-" ]; then args+=(--gt "$gt"); fi
if [ -n "${crop:-}" ]; then
  read -r -a window <<<"$crop"
  args+=(--crop "${window[@]}")
fi

"$vexil" "${args[@]}"
status=$?
printf '%s\t%s\t%s\n' "$task" "$status" "$img" >>"$status_file"
exit "$status"
