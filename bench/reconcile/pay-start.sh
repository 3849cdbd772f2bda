#!/usr/bin/env bash
# What a year of module log costs sarn-till pay at its start: the same payment, N times, on a
# till whose module folder holds a year of history (after one reconcile has kept its point) and
# on a till whose folder holds none, interleaved. Prints the median wall time of each and the
# difference.
#   bench/reconcile/pay-start.sh [RUNS]     (from the source tree, after ./run build)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/../.."
runs=${1:-20}
bin=build/bin
work=$(mktemp -d /tmp/pay-start.XXXXXX)
trap 'kill "${sandbox:-}" 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

"$bin"/dovra-sandbox --port 0 --data "$work" >"$work/sandbox.out" 2>"$work/sandbox.err" &
sandbox=$!
for _ in $(seq 100); do
  grep -q "^listening on " "$work/sandbox.out" 2>/dev/null && break
  sleep 0.1
done
export DOVRA_BASE_URL=$(sed -n 's/^listening on //p' "$work/sandbox.out" | head -n 1)
export QT_QPA_PLATFORM=offscreen
[ -n "$DOVRA_BASE_URL" ] || { echo "pay-start: dovra-sandbox did not start" >&2; exit 1; }

for till in year none; do
  mkdir -p "$work/$till"
  cp "$bin"/DovraVoucherPayment.smd "$work/$till/"
  t=("$bin"/sarn-till --module "$work/$till/DovraVoucherPayment.smd" --db "$work/$till.db"
     --ca-file "$work/cert.pem")
  "${t[@]}" upgrade >/dev/null
done
# The generated history names a database (db1) whose rows this one does not hold: its payments
# read finished (recorded, linked) and carry nothing into the point, as a year of this till's own
# payments with their rows would. The start's work is the same: the point, the live log, the test.
build/bench/reconcile_bench --write-history "$work/year"
t=("$bin"/sarn-till --module "$work/year/DovraVoucherPayment.smd" --db "$work/year.db"
   --ca-file "$work/cert.pem")
"${t[@]}" reconcile --older-than 0 >/dev/null || true

# One payment on the till's folder; prints its wall time in microseconds.
pay_us() {
  local till=$1 start end
  local t=("$bin"/sarn-till --module "$work/$till/DovraVoucherPayment.smd" --db "$work/$till.db"
           --ca-file "$work/cert.pem")
  start=$(date +%s%N)
  "${t[@]}" pay --amount 62.50 --order examples/order.json --popup --voucher SAVE15 \
    --mobile 0612345678 --invoice 2002 >"$work/pay.out" 2>&1 ||
    { cat "$work/pay.out" >&2; exit 1; }
  end=$(date +%s%N)
  if grep -q "before the payment" "$work/pay.out"; then
    echo "pay-start: the $till till settled something at its start:" >&2
    cat "$work/pay.out" >&2
    exit 1
  fi
  echo $(((end - start) / 1000))
}
median_ms() { sort -n | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%.1f", m/1000}'; }
pay_us none >/dev/null  # warm the caches
: >"$work/year.us"
: >"$work/none.us"
# Interleaved, so that the machine's load weighs on both alike.
for _ in $(seq "$runs"); do
  pay_us year >>"$work/year.us"
  pay_us none >>"$work/none.us"
done
year=$(median_ms <"$work/year.us")
none=$(median_ms <"$work/none.us")
echo "sarn-till pay, median of $runs each: a year of history $year ms, none $none ms," \
  "difference $(awk -v a="$year" -v b="$none" 'BEGIN {printf "%.1f", a - b}') ms" \
  "(load average $(cut -d' ' -f1 /proc/loadavg))"
