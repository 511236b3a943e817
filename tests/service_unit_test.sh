#!/usr/bin/env bash
# systemd-analyze verify on a unit (vantrel-usb.service, or an instance of vantrel-usb@.service) as
# configured for installation. verify also checks
# that ExecStart's program exists, so the copy checked here starts the built program instead of the
# installed one; everything else is the unit as installed. Any message from verify fails the test
# (it reports unknown or malformed settings without failing itself).
# Usage: service_unit_test.sh UNIT BUILT_PROGRAM        Exit status 77: skipped (the reason is printed).
set -euo pipefail
unit=${1:?usage: service_unit_test.sh UNIT BUILT_PROGRAM}
program=${2:?usage: service_unit_test.sh UNIT BUILT_PROGRAM}

command -v systemd-analyze >/dev/null ||
  { echo "SKIPPED: systemd-analyze is not installed (Debian's systemd package; scripts/setup installs it)"; exit 77; }

work=$(mktemp -d /tmp/vantrel-unit-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
grep -q '^ExecStart=/[^ ]*/vantrel-usb --plain' "$unit" || { echo "FAILED: unexpected ExecStart in $unit" >&2; exit 1; }
# A template is checked as one of its instances, named as a phone would be.
name=$(basename "$unit")
name=${name/@./@00008030-001A2B3C4D5E6F70.}
sed "s|^ExecStart=/[^ ]*/vantrel-usb |ExecStart=$program |" "$unit" >"$work/$name"

# The manual page named by Documentation= is not installed here.
status=0
systemd-analyze verify --man=no "$work/$name" >"$work/verify.log" 2>&1 || status=$?
cat "$work/verify.log"
[ "$status" -eq 0 ] || { echo "FAILED: systemd-analyze verify exited with status $status" >&2; exit 1; }
[ ! -s "$work/verify.log" ] || { echo "FAILED: systemd-analyze verify reported the messages above" >&2; exit 1; }
echo PASSED
