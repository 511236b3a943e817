#!/usr/bin/env bash
# cmake --install of a build configured for a prefix other than /usr: every file lands below the
# prefix (the units in its lib/systemd/system, which systemd reads for /usr/local), none in the
# system's own directories such as /lib/systemd.
# Usage: install_prefix_test.sh BUILD_DIR PREFIX
set -euo pipefail
build=${1:?usage: install_prefix_test.sh BUILD_DIR PREFIX}
prefix=${2:?usage: install_prefix_test.sh BUILD_DIR PREFIX}

root=$(mktemp -d /tmp/vantrel-install-test.XXXXXX)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" >/dev/null

outside=$(cd "$root" && find . -type f | grep -v "^\.$prefix/" || true)
[ -z "$outside" ] || { echo "FAILED: installed outside $prefix:"; echo "$outside"; exit 1; }
[ -f "$root$prefix/lib/systemd/system/vantrel-usb.service" ] ||
  { echo "FAILED: vantrel-usb.service is not in $prefix/lib/systemd/system"; exit 1; }
echo PASSED
