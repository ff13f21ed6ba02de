#!/usr/bin/env bash
# pbar against pv and cat in a pipe: 4 GiB from /dev/zero (through head) to
# /dev/null, three runs of each, with the medians and their ratios. Installs
# pv where it is missing (for this benchmark only). Checks first that pbar's
# output is byte for byte its input, on a file of random bytes.
#
#   bash bench/pipe_throughput.sh path/to/pbar [GiB]
set -euo pipefail
pbar=$(realpath "$1")
gib=${2:-4}
if ! command -v pv >/dev/null; then
  sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update >/dev/null && "${sudo[@]}" apt-get install -y --no-install-recommends pv >/dev/null
fi

sample=$(mktemp)
trap 'rm -f "$sample"' EXIT
head -c 64M /dev/urandom >"$sample"
[[ $("$pbar" "$sample" 2>/dev/null | sha256sum) == $(sha256sum <"$sample") ]] ||
  { echo "pbar changed the bytes it copied" >&2; exit 1; }

bytes=$((gib << 30))
seconds() {  # the time of one run of the pipe through "$@", in seconds
  local start end
  start=$(date +%s.%N)
  head -c "$bytes" /dev/zero | "$@" >/dev/null 2>/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
declare -A best
for tool in cat pv pbar; do
  runs=()
  for _ in 1 2 3; do
    case $tool in
      cat) runs+=("$(seconds cat)") ;;
      pv) runs+=("$(seconds pv -f)") ;;
      pbar) runs+=("$(seconds "$pbar")") ;;
    esac
  done
  best[$tool]=$(median "${runs[@]}")
done
rate() { echo "$gib / $1" | bc -l; }
printf '%-6s %9s %10s %10s\n' tool seconds 'GiB/s' 'x cat'
for tool in cat pv pbar; do
  printf '%-6s %9.3f %10.2f %10.2f\n' "$tool" "${best[$tool]}" "$(rate "${best[$tool]}")" \
    "$(echo "${best[cat]} / ${best[$tool]}" | bc -l)"
done
vs_pv=$(echo "${best[pv]} / ${best[pbar]}" | bc -l)
vs_cat=$(echo "${best[cat]} / ${best[pbar]}" | bc -l)
printf 'pbar: %.2fx pv (target >= 1), %.2fx cat (target >= 0.9)\n' "$vs_pv" "$vs_cat"
if (($(echo "$vs_pv >= 1 && $vs_cat >= 0.9" | bc -l))); then echo "target met"; else echo "target MISSED"; fi
