#!/usr/bin/env bash
# Builds (as scripts/build.sh does) and runs every benchmark in bench/, then prints one table:
# each figure, its value, its target and whether the target is met. Needs neither a display
# nor a sound card: benchmarks use Qt's offscreen platform and start a private sound server.
# Each benchmark's full output goes to build/bench-logs/.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build -DTELLWICK_BENCHMARKS=ON >&2 || exit 1
logs=build/bench-logs
mkdir -p "$logs"
results=$(mktemp)
trap 'rm -f "$results"' EXIT
failed=()
for program in build/bench/bench_*; do
  [ -f "$program" ] && [ -x "$program" ] || continue
  name=$(basename "$program")
  echo "running $name ..." >&2
  if ! env -u PULSE_SERVER QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 "$program" >"$logs/$name.log" 2>&1; then
    failed+=("$name")
  fi
  grep -P '^RESULT\t' "$logs/$name.log" | sed "s/^RESULT\t/${name#bench_}\t/" >>"$results"
done

# Met when the value satisfies the target (<, <=, >, >=, =); "-" has no target.
awk -F'\t' '
  function met(v, t,   op, n) {
    if (t == "-" || t == "") return "-"
    match(t, /^(<=|>=|<|>|=)/); op = substr(t, 1, RLENGTH); n = substr(t, RLENGTH + 1) + 0
    if (op == "<") return v < n ? "yes" : "NO"
    if (op == "<=") return v <= n ? "yes" : "NO"
    if (op == ">") return v > n ? "yes" : "NO"
    if (op == ">=") return v >= n ? "yes" : "NO"
    return v == n ? "yes" : "NO"
  }
  { rows[NR] = $0; w = length($1 ": " $2); if (w > width) width = w }
  END {
    printf "%-" width "s  %12s  %-20s  %-8s  %s\n", "figure", "value", "unit", "target", "met"
    for (i = 1; i <= NR; i++) {
      split(rows[i], f, "\t")
      printf "%-" width "s  %12s  %-20s  %-8s  %s\n", f[1] ": " f[2], f[3], f[4], f[5], met(f[3] + 0, f[5])
    }
  }' "$results"
if [ ${#failed[@]} -gt 0 ]; then
  echo "benchmarks that failed (see $logs): ${failed[*]}" >&2
  exit 1
fi
