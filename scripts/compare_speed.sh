#!/usr/bin/env bash
# Compares the speed of two kivo-run builds on one cartridge, the way the README's figures are
# taken: `--benchmark --frames 3600` pinned to one core, the two builds run in turn RUNS times.
# Prints each build's best frame rate, the ratio of the bests, and the median of the paired
# ratios (each run of NEW against the run of BASE just before it), which cancels the slow drift
# of a shared machine's speed.
#
#   scripts/compare_speed.sh BASE_KIVO_RUN NEW_KIVO_RUN ROM|--demo [RUNS]   (RUNS: default 20)
set -euo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 BASE_KIVO_RUN NEW_KIVO_RUN ROM|--demo [RUNS]" >&2
  exit 2
fi
base=$1 new=$2 rom=$3 runs=${4:-20}
fps() {
  taskset -c 1 "$1" --benchmark --frames 3600 "$rom" | sed -n 's/.*fps=\([0-9.]*\).*/\1/p'
}
for _ in $(seq "$runs"); do
  echo "$(fps "$base") $(fps "$new")"
done | awk '
  { b[NR] = $1; n[NR] = $2; r[NR] = $2 / $1
    if ($1 > bb) bb = $1
    if ($2 > bn) bn = $2 }
  END {
    # median of the paired ratios
    m = NR; for (i = 1; i <= m; ++i) for (j = i + 1; j <= m; ++j) if (r[j] < r[i]) { t = r[i]; r[i] = r[j]; r[j] = t }
    med = (m % 2) ? r[(m + 1) / 2] : (r[m / 2] + r[m / 2 + 1]) / 2
    printf "base best %.0f fps, new best %.0f fps: %.2fx (best), %.2fx (median of %d paired runs)\n",
           bb, bn, bn / bb, med, m }'
