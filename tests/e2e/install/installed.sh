#!/usr/bin/env bash
# The tree `cmake --install` lays out, used from there as a store would: installed into a scratch
# prefix, every program names the project's version, the till finds its module in the installed
# layout without --module, takes its settings from SARN_TILL_* variables, upgrades a database,
# pays against the installed sandbox (which finds its example book under share/) and reconciles;
# and every installed file has the mode it is meant to have.
# Usage: installed.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
fail() {
  echo "installed: $*" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/sarn-installed.XXXXXX")
sandbox_pid=
cleanup() {
  [ -z "$sandbox_pid" ] || kill "$sandbox_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log" >&2
  fail "cmake --install failed"
}

# Each installed file and its mode.
while read -r mode file; do
  [ -e "$prefix/$file" ] || fail "not installed: $file"
  actual=$(stat -c %a "$prefix/$file")
  [ "$actual" = "$mode" ] || fail "$file has mode $actual, not $mode"
done <<MODES
755 bin/sarn-till
755 bin/dovra-sandbox
755 bin/dovra-logtool
755 bin/dovra-crashpoint
644 lib/sarn/modules/DovraVoucherPayment.smd
644 lib/systemd/system/sarn-reconcile.service
644 lib/systemd/system/sarn-reconcile.timer
640 etc/sarn/till.env
644 share/dovra-sandbox/vouchers.example.json
644 share/doc/sarn-till/operations.md
644 share/doc/sarn-till/examples/order.json
644 share/man/man1/sarn-till.1
644 share/man/man1/dovra-sandbox.1
644 share/man/man1/dovra-logtool.1
644 share/man/man1/dovra-crashpoint.1
MODES
for page in sarn-till dovra-sandbox dovra-logtool; do
  grep -qF -- '\-\-version' "$prefix/share/man/man1/$page.1" || fail "$page.1 does not show --version"
  ! grep -q "$build" "$prefix/share/man/man1/$page.1" || fail "$page.1 names the build folder"
done

# The timer runs reconcile daily and once after boot, with the store's one settings file.
units=$prefix/lib/systemd/system
grep -qx "OnCalendar=daily" "$units/sarn-reconcile.timer" || fail "the timer is not daily"
grep -q "^OnBootSec=" "$units/sarn-reconcile.timer" || fail "the timer does not run after boot"
grep -qx "EnvironmentFile=/etc/sarn/till.env" "$units/sarn-reconcile.service" ||
  fail "the service does not read /etc/sarn/till.env"
grep -q "^ExecStart=/usr/bin/sarn-till reconcile" "$units/sarn-reconcile.service" ||
  fail "the service does not run sarn-till reconcile"
if command -v systemd-analyze >/dev/null; then
  # As systemd reads them, the program where this prefix has it (man pages are not looked up).
  mkdir "$work/units"
  sed "s|/usr/bin/|$prefix/bin/|; /^Documentation=/d" "$units/sarn-reconcile.service" \
    >"$work/units/sarn-reconcile.service"
  sed "/^Documentation=/d" "$units/sarn-reconcile.timer" >"$work/units/sarn-reconcile.timer"
  said=$(systemd-analyze verify "$work/units/sarn-reconcile.service" \
    "$work/units/sarn-reconcile.timer" 2>&1) || fail "systemd-analyze verify: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
fi

# Every program names the project's version, on standard output, with exit 0.
for program in sarn-till dovra-sandbox dovra-logtool dovra-crashpoint; do
  out=$(QT_QPA_PLATFORM=offscreen "$prefix/bin/$program" --version) ||
    fail "$program --version exited $?"
  [ "$out" = "$program $version" ] || fail "$program --version printed '$out'"
done

# The installed sandbox, with the example book from share/.
mkdir -m 700 "$work/sandbox"
"$prefix/bin/dovra-sandbox" --port 0 --data "$work/sandbox" >"$work/sandbox.out" 2>&1 &
sandbox_pid=$!
for _ in $(seq 150); do
  grep -q "^listening on " "$work/sandbox.out" && break
  kill -0 "$sandbox_pid" 2>/dev/null || break
  sleep 0.1
done
url=$(sed -n 's/^listening on //p' "$work/sandbox.out")
[ -n "$url" ] || fail "the installed sandbox did not start: $(cat "$work/sandbox.out")"

export QT_QPA_PLATFORM=offscreen DOVRA_BASE_URL=$url
export SARN_TILL_DB=$work/till.db SARN_TILL_CA_FILE=$work/sandbox/cert.pem
till=$prefix/bin/sarn-till
run() {
  local expect=$1
  shift
  local rc=0
  "$till" "$@" >"$work/out" 2>&1 || rc=$?
  [ "$rc" = "$expect" ] || fail "sarn-till $* exited $rc, not $expect: $(cat "$work/out")"
}
run 0 upgrade
grep -q "^Dovra: 2 script(s)" "$work/out" || fail "upgrade said: $(cat "$work/out")"
run 0 modules
grep -qx "module: $prefix/lib/sarn/modules/DovraVoucherPayment.smd" "$work/out" ||
  fail "the till did not load the installed module: $(cat "$work/out")"
grep -qx "module version: $version" "$work/out" || fail "modules said: $(cat "$work/out")"
run 0 pay --amount 62.50 --order "$prefix/share/doc/sarn-till/examples/order.json" \
  --popup --voucher SAVE15 --mobile 0612345678 --invoice 1001
grep -q "^voucher: paid " "$work/out" || fail "pay said: $(cat "$work/out")"
run 0 reconcile
ls "$prefix/lib/sarn/modules/"*DovraVoucherPayment.smd.log >/dev/null ||
  fail "the module wrote no log beside itself"
echo "installed: every check passed in $prefix"
