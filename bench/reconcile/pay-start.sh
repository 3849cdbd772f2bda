#!/usr/bin/env bash
# What a year of module log costs sarn-till pay at its start: the same payment, N times, on a
# till whose module folder holds a year of history (after one reconcile has kept its point) and
# on a till whose folder holds none. Prints the mean wall time of each and the difference.
#   bench/reconcile/pay-start.sh [RUNS]     (from the source tree, after ./run build)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/../.."
runs=${1:-20}
bin=build/bin
work=$(mktemp -d /tmp/pay-start.XXXXXX)
trap 'kill "${sandbox:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

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
  # The generated history names the database db1: this till's own, as a year of its own would.
  sqlite3 "$work/$till.db" "UPDATE SarnDatabase SET Identity = 'db1'"
done
"$bin"/reconcile_bench --write-history "$work/year"
t=("$bin"/sarn-till --module "$work/year/DovraVoucherPayment.smd" --db "$work/year.db"
   --ca-file "$work/cert.pem")
"${t[@]}" reconcile --older-than 0 >/dev/null || true

mean_ms() {
  local till=$1 start end
  local t=("$bin"/sarn-till --module "$work/$till/DovraVoucherPayment.smd" --db "$work/$till.db"
           --ca-file "$work/cert.pem")
  start=$(date +%s%N)
  for _ in $(seq "$runs"); do
    "${t[@]}" pay --amount 62.50 --order examples/order.json --popup --voucher SAVE15 \
      --mobile 0612345678 --invoice 2002 >"$work/pay.out" 2>&1 ||
      { cat "$work/pay.out" >&2; exit 1; }
    if grep -q "before the payment" "$work/pay.out"; then
      echo "pay-start: the $till till settled something at its start:" >&2
      cat "$work/pay.out" >&2
      exit 1
    fi
  done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000000))
}
mean_ms none >/dev/null  # warm the caches
year=$(mean_ms year)
none=$(mean_ms none)
echo "sarn-till pay, mean of $runs: a year of history $year ms, none $none ms," \
  "difference $((year - none)) ms"
