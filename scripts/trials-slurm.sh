#!/usr/bin/env bash
# Runs randomised trials of a program on a Slurm cluster: a job array of K shards, each running
# every K-th trial, and a merge job that starts once they have all ended. The output folder must
# be on a file system that every node sees (the shards write their results there).
#
# Usage: scripts/trials-slurm.sh PROGRAM FILE --trials N --shards K [--seed S] [--jobs J]
#                                [--out DIR] [--studio PATH] [--wait] [-- SBATCH_OPTIONS...]
#   --jobs J      threads per shard (default 1; ask Slurm for as many CPUs with -- --cpus-per-task=J)
#   --out DIR     shared folder for the results (default ./trials-<date>-<time>)
#   --studio PATH the kestrin-studio program on the nodes (default: kestrin-studio on the PATH)
#   --wait        return only when the merge job has ended, with its exit status
# Options after -- go to both sbatch calls (partition, account, time limit, ...).
# The merged results are DIR/results.jsonl; DIR/summary.txt says how it went.
set -euo pipefail

usage() { sed -n '5,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 2 ] || usage
program="$1" file="$2"
shift 2
trials="" shards="" seed=1 jobs=1 out="" studio="${KESTRIN_STUDIO:-kestrin-studio}" wait=()
while [ $# -gt 0 ]; do
  case "$1" in
    --trials) trials="$2"; shift 2 ;;
    --shards) shards="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --studio) studio="$2"; shift 2 ;;
    --wait) wait=(--wait); shift ;;
    --) shift; break ;;
    *) echo "trials-slurm.sh: unknown option '$1'" >&2; usage ;;
  esac
done
sbatch_options=("$@")
[[ "$trials" =~ ^[1-9][0-9]*$ ]] || { echo "trials-slurm.sh: --trials needs a whole number from 1 on" >&2; exit 2; }
[[ "$shards" =~ ^[1-9][0-9]*$ ]] || { echo "trials-slurm.sh: --shards needs a whole number from 1 on" >&2; exit 2; }
[ -f "$file" ] || { echo "trials-slurm.sh: no project file '$file'" >&2; exit 2; }
command -v sbatch >/dev/null || { echo "trials-slurm.sh: sbatch not found: is this a Slurm login node?" >&2; exit 2; }
studio="$(command -v "$studio" || true)"
[ -z "$studio" ] || studio="$(readlink -f "$studio")"
[ -n "$studio" ] || { echo "trials-slurm.sh: kestrin-studio not found: give --studio PATH" >&2; exit 2; }

out="${out:-$PWD/trials-$(date +%Y%m%d-%H%M%S)}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
file="$(cd "$(dirname "$file")" && pwd)/$(basename "$file")"

# Exit status 1 of a shard or of the merge means that some trials faulted: the job did its work.
cat > "$out/shard.sh" <<SCRIPT
#!/usr/bin/env bash
i="\${SLURM_ARRAY_TASK_ID:?not run as a Slurm array task}"
$(printf '%q ' "$studio") --run $(printf '%q' "$program") $(printf '%q' "$file") --trials $trials --seed $seed \\
  --jobs $jobs --shard "\$i/$shards" --results $(printf '%q' "$out")/shard-\$i.jsonl
status=\$?
[ \$status -le 1 ] && exit 0 || exit \$status
SCRIPT
shard_files=""
for i in $(seq 1 "$shards"); do shard_files+=" $(printf '%q' "$out/shard-$i.jsonl")"; done
cat > "$out/merge.sh" <<SCRIPT
#!/usr/bin/env bash
$(printf '%q ' "$studio") --merge$shard_files --results $(printf '%q' "$out")/results.jsonl > $(printf '%q' "$out")/summary.txt 2>&1
status=\$?
cat $(printf '%q' "$out")/summary.txt
[ \$status -le 1 ] && exit 0 || exit \$status
SCRIPT
chmod +x "$out/shard.sh" "$out/merge.sh"

array=$(sbatch --parsable --job-name=kestrin-trials --array="1-$shards" --chdir="$out" \
        --output="$out/shard-%a.log" "${sbatch_options[@]}" "$out/shard.sh")
array="${array%%;*}"
if ! merge=$(sbatch --parsable --job-name=kestrin-trials-merge --dependency="afterany:$array" --chdir="$out" \
              --output="$out/merge.log" "${wait[@]}" "${sbatch_options[@]}" "$out/merge.sh"); then
  echo "trials-slurm.sh: the merge job failed (shards in job array $array):" >&2
  cat "$out/summary.txt" "$out/merge.log" >&2 2>/dev/null || true
  exit 1
fi
merge="${merge%%;*}"
echo "Submitted $shards shards as job array $array and the merge as job $merge."
echo "Results: $out/results.jsonl (summary in $out/summary.txt)"
