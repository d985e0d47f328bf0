#!/bin/bash
# The login storm: many sessions of one machine start the setup at once and
# compete for its one Windows Installer. Builds the simulation (host preset,
# target login_storm), runs every case with the program's waits and with the
# fixed doubling it had before, on the same seeds, and prints
#
#   - one line per case and policy:
#     sessions=N packages=K install_s=D start=together|spread_S complete=P%
#     p95_s=T busy=U% calls_per_run=C gave_up=G median_s=M installed_per_run=I
#     policy=NAME
#   - the table of which docs/deploying.md, section "Multi-session hosts",
#     shows a few rows;
#
# and plots the share of complete runs against the number of sessions (3
# packages of 10 s, all starting together) for both policies with gnuplot.
# Everything it writes goes to build/login-storm: lines.txt, table.md,
# complete.dat and complete.png.
#
#   tools/login-storm.sh               20 seeds per case
#   SEEDS=100 tools/login-storm.sh
#
# Needs the host build's tool chain (tools/install-deps.sh) and gnuplot
# (Debian package gnuplot-nox); without gnuplot it prints the table, says so
# and exits 1.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out_dir=$source_dir/build/login-storm
seeds=${SEEDS:-20}
if [ "$seeds" -lt 20 ]; then
  echo "SEEDS must be at least 20" >&2
  exit 2
fi

mkdir -p "$out_dir"
(cd "$source_dir" && cmake --preset host && cmake --build --preset host -j2 --target login_storm) \
  >"$out_dir/build.log" 2>&1 || {
  cat "$out_dir/build.log"
  exit 1
}
sim=$source_dir/build/host/tests/sim/login_storm

# The cases: every start together, then two spread over a minute, and the
# largest storm spread over 25 minutes, about the installer time it needs.
cases=()
for packages in 1 3; do
  for install_s in 5 10 20; do
    for sessions in 1 5 10 20 50; do
      cases+=("$sessions $packages $install_s 0")
    done
  done
done
cases+=("10 3 10 60" "50 3 10 60" "50 3 10 1500")

: >"$out_dir/lines.txt"
for entry in "${cases[@]}"; do
  set -- $entry
  for policy in fixed chosen; do
    "$sim" --sessions "$1" --packages "$2" --install-s "$3" --spread-s "$4" --seeds "$seeds" \
      --policy "$policy" --check | tee -a "$out_dir/lines.txt"
  done
done

# field(LINE, KEY): the value of KEY=VALUE in a line of the simulation.
awk_field='
  function field(line, key,   n, i, parts, pair) {
    n = split(line, parts, " ")
    for (i = 1; i <= n; i++) {
      split(parts[i], pair, "=")
      if (pair[1] == key) return pair[2]
    }
    return ""
  }'

# One row per case: the fixed doubling before the arrow, the program's waits
# after it.
awk -v seeds="$seeds" "$awk_field"'
  BEGIN {
    print "| sessions | packages | install | start | complete | median | p95 | busy | calls per run | gave up | installed per run |"
    print "|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|"
  }
  field($0, "policy") == "fixed" { before = $0; next }
  field($0, "policy") == "chosen" {
    start = field($0, "start")
    sub(/^spread_/, "spread over ", start)
    if (start != "together") start = start " s"
    printf "| %s | %s | %s s | %s | %s → %s | %s → %s s | %s → %s s | %s → %s | %s → %s | %s → %s | %s → %s |\n",
      field($0, "sessions"), field($0, "packages"), field($0, "install_s"), start,
      field(before, "complete"), field($0, "complete"),
      field(before, "median_s"), field($0, "median_s"),
      field(before, "p95_s"), field($0, "p95_s"),
      field(before, "busy"), field($0, "busy"),
      field(before, "calls_per_run"), field($0, "calls_per_run"),
      field(before, "gave_up"), field($0, "gave_up"),
      field(before, "installed_per_run"), field($0, "installed_per_run")
  }
  END {
    print ""
    print "Each cell: 2 s doubling to 60 s (before) → 2 s doubling to 10 s, less a random part of up to half (now); mean of " seeds " seeds."
  }
' "$out_dir/lines.txt" >"$out_dir/table.md"
echo
cat "$out_dir/table.md"

# complete% against sessions, 3 packages of 10 s, all starting together.
awk "$awk_field"'
  field($0, "packages") == 3 && field($0, "install_s") == 10 && field($0, "start") == "together" {
    value = field($0, "complete")
    sub(/%$/, "", value)
    if (field($0, "policy") == "fixed") { before = value; next }
    print field($0, "sessions"), before, value
  }
' "$out_dir/lines.txt" >"$out_dir/complete.dat"

if ! command -v gnuplot >/dev/null; then
  echo
  echo "gnuplot not found (Debian package gnuplot-nox): no plot" >&2
  exit 1
fi
gnuplot <<EOF
set terminal png size 900,540
set output '$out_dir/complete.png'
set title "Runs that installed every package\n3 packages of 10 s, all sessions starting together, 5 minutes of waiting per run"
set xlabel 'sessions starting the setup at once'
set ylabel 'complete runs (%)'
set yrange [0:125]
set ytics 0, 20, 100
set xrange [0:52]
set xtics (1, 5, 10, 20, 50)
set grid
set key top right box opaque
plot '$out_dir/complete.dat' using 1:2 with linespoints lw 2 pt 7 title '2 s doubling to 60 s (before)', \
     '' using 1:3 with linespoints lw 2 pt 5 title '2 s doubling to 10 s with a random part (now)'
EOF
echo
echo "plot: $out_dir/complete.png"
