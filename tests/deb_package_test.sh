#!/usr/bin/env bash
# Builds the Debian packages twice with scripts/package (the suite is left out of those builds: it is
# this suite) and compares the bytes, checks fields, contents, debug symbols and flags, then takes them
# through install, upgrade to the same version, remove and purge with dpkg, and runs the installed
# programs. The units are the package's own: the plain one and the per-phone template.
#
# dpkg runs in a private mount namespace whose /usr, /var and /etc are overlays on a tmpfs, so it
# resolves the dependencies against this system but leaves the system as it was. No systemd runs
# there: a stand-in systemctl passes the offline calls (the enable on installation) to the real one
# and records those that need the service manager, which the maintainer scripts make only where
# /run/systemd/system exists; the namespace's /run is a tmpfs that has it.
# Usage: deb_package_test.sh SOURCE_DIR VERSION        Exit status 77: skipped (the reason is printed).
set -euo pipefail

src=$(cd "${1:?usage: deb_package_test.sh SOURCE_DIR VERSION}" && pwd)
version=${2:?usage: deb_package_test.sh SOURCE_DIR VERSION}

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "needs root (dpkg and private namespaces)"
for tool in dpkg-buildpackage dpkg-checkbuilddeps dh lintian dpkg dpkg-deb unshare ip readelf; do
  command -v "$tool" >/dev/null || skip "'$tool' is not installed (scripts/setup installs it)"
done
unmet=$(cd "$src" && dpkg-checkbuilddeps -Pnocheck 2>&1) || skip "build dependencies missing: $unmet"

work=$(mktemp -d /tmp/vantrel-deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== two builds"
a=$work/a b=$work/b
for out in "$a" "$b"; do
  DEB_BUILD_OPTIONS=nocheck bash "$src/scripts/package" "$out" >"$work/package.log" 2>&1 ||
    { cat "$work/package.log"; fail "scripts/package"; }
done
grep -E '^[A-Z]: ' "$work/package.log" || true
arch=$(dpkg --print-architecture)
deb() { echo "${2:-$a}/${1}_$version-1_$arch.deb"; }
for p in vantrel-usb vantrel-usb-dbgsym vantrel-sim vantrel-sim-dbgsym; do
  [ -f "$(deb "$p")" ] || fail "no $(basename "$(deb "$p")"): $(ls "$a")"
  # Built in other directories: no path of the build may show.
  cmp "$(deb "$p")" "$(deb "$p" "$b")" || fail "two builds gave different $p packages"
done

echo "== control fields"
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for p in vantrel-usb vantrel-sim; do
  # The project's version and debian/changelog's agree.
  [ "$(field "$p" Version)" = "$version-1" ] || fail "$p Version: $(field "$p" Version)"
  depends=$(field "$p" Depends)
  # The property-list library's runtime package comes from dpkg-shlibdeps, and so does the C library.
  [[ ", $depends" == *", libplist"[0-9-]* && ", $depends" == *", libc6 "* ]] || fail "$p Depends: $depends"
done

echo "== contents"
for p in vantrel-usb vantrel-sim; do
  dpkg-deb -c "$(deb "$p")" | awk '{print $6}' | grep -v '/$' | sort >"$work/$p.contents"
done
printf '%s\n' ./lib/systemd/system/vantrel-usb.service ./lib/systemd/system/vantrel-usb@.service ./usr/bin/vantrel-usb \
  ./usr/share/doc/vantrel-usb/README.md.gz ./usr/share/doc/vantrel-usb/changelog.Debian.gz \
  ./usr/share/doc/vantrel-usb/copyright ./usr/share/lintian/overrides/vantrel-usb \
  ./usr/share/man/man1/vantrel-usb.1.gz >"$work/expected"
diff -u "$work/expected" "$work/vantrel-usb.contents" || fail "unexpected contents of vantrel-usb"
printf '%s\n' ./usr/bin/vantrel-sim ./usr/share/doc/vantrel-sim/README.md.gz \
  ./usr/share/doc/vantrel-sim/changelog.Debian.gz ./usr/share/doc/vantrel-sim/copyright \
  ./usr/share/lintian/overrides/vantrel-sim ./usr/share/man/man1/vantrel-sim.1.gz >"$work/expected"
diff -u "$work/expected" "$work/vantrel-sim.contents" || fail "unexpected contents of vantrel-sim"

echo "== debug symbols and flags"
for p in vantrel-usb vantrel-sim; do
  dpkg-deb -x "$(deb "$p-dbgsym")" "$work/$p-dbgsym"
  dpkg-deb -x "$(deb "$p")" "$work/$p"
  binary=$work/$p/usr/bin/$p
  id=$(readelf -n "$binary" | sed -n 's/.*Build ID: \([0-9a-f]*\)$/\1/p')
  debug=$work/$p-dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -n "$id" ] && [ -f "$debug" ] || fail "$p-dbgsym has no debug file for the build ID '$id' of $p"
  readelf -d "$binary" | grep -q 'FLAGS.*BIND_NOW' || fail "$p is not linked with -z now"
done
# Debian's flags (dpkg-buildflags with the hardening that debian/rules asks for) on each compile line;
# the path in -ffile-prefix-map is the build's own.
compile=$(grep -m1 -- ' -c .*/src/main/main\.cpp$' "$a/build.log") || fail "no compile line for main.cpp in the build log"
for flag in $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) \
            $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS); do
  [[ $flag == -ffile-prefix-map=* || " $compile " == *" $flag "* ]] || fail "$flag missing: $compile"
done

echo "== install, upgrade, remove, purge"
# Runs in the new namespaces and fails at the first surprise.
cat >"$work/inside.sh" <<'EOF'
set -euo pipefail
work=$1 version=$2
fail() { echo "FAILED: $*"; exit 1; }
mount -t tmpfs tmpfs "$work/layers"
for dir in usr var etc; do
  mkdir -p "$work/layers/$dir/upper" "$work/layers/$dir/work"
  mount -t overlay overlay \
    -o "lowerdir=/$dir,upperdir=$work/layers/$dir/upper,workdir=$work/layers/$dir/work" "/$dir"
done
ip link set lo up
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /run/systemd/system "$work/bin"
# Only the overlays lose them: man-db's trigger would rebuild its index, which takes seconds, and a
# container's policy-rc.d forbids every service action.
rm -f /var/lib/man-db/auto-update /usr/sbin/policy-rc.d
cat >"$work/bin/systemctl" <<EOS
#!/bin/sh
case "\$*" in *--root=*) exec /usr/bin/systemctl "\$@" ;; esac
echo "\$*" >>"$work/systemctl.log"
EOS
chmod +x "$work/bin/systemctl"
export PATH=$work/bin:$PATH

calls() { cat "$work/systemctl.log" 2>/dev/null; rm -f "$work/systemctl.log"; }
dpkg_do() { dpkg "$@" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg $*"; }; }
link=/etc/systemd/system/usbmuxd.service.wants/vantrel-usb.service
debs=("$work"/a/*.deb)
b_usb=("$work"/b/vantrel-usb_*.deb)
template=/lib/systemd/system/vantrel-usb@.service

dpkg_do -i "${debs[@]}"
installed=$(calls)
[ "$(readlink "$link")" = /lib/systemd/system/vantrel-usb.service ] || fail "not enabled on install: $(ls -l "$link")"
[ -f $template ] || fail "the template unit is not installed"
find /etc/systemd -name 'vantrel-usb@*' | grep . && fail "the template was enabled"
grep -qx -- '--system daemon-reload' <<<"$installed" || fail "no reload on install: $installed"
# Bound to usbmuxd, the bridge is not started by the installation: that would start the daemon.
grep -E 'start|stop' <<<"$installed" && fail "a unit was started or stopped on install: $installed"
echo "sim: $(/usr/bin/vantrel-sim --version)"
grep '^ExecStart=' /lib/systemd/system/vantrel-usb.service $template

/usr/bin/vantrel-usb >"$work/usb.out" 2>"$work/usb.err" &
pid=$!
# The error line shows that a search has been made and has failed.
for _ in $(seq 100); do
  grep -q 'os error' "$work/usb.out" 2>/dev/null && break
  sleep 0.1
done
kill -INT "$pid"
status=0
wait "$pid" || status=$?
echo "exit: $status"

dpkg_do -i "${b_usb[0]}"
upgraded=$(calls)
[ "$(printf '%s\n' "$upgraded" | grep -v daemon-reload)" = "try-restart vantrel-usb.service
try-restart vantrel-usb@*.service" ] || fail "not one restart of each (if running) on upgrade: $upgraded"
[ "$(readlink "$link")" = /lib/systemd/system/vantrel-usb.service ] || fail "the upgrade lost the enable link"
# What an administrator's `systemctl enable vantrel-usb@SERIAL` makes.
ln -s $template /etc/systemd/system/usbmuxd.service.wants/vantrel-usb@SERIAL.service

dpkg_do -r vantrel-usb-dbgsym vantrel-usb
removed=$(calls)
grep -qx 'stop vantrel-usb.service vantrel-usb@\*.service' <<<"$removed" || fail "not stopped on removal: $removed"
grep -qx -- '--system daemon-reload' <<<"$removed" || fail "no reload on removal: $removed"
[ ! -e /usr/bin/vantrel-usb ] || fail "/usr/bin/vantrel-usb is still there after removal"

dpkg_do -P vantrel-usb vantrel-sim-dbgsym vantrel-sim
calls | grep -E 'start|stop' && fail "a unit was started or stopped on purge"
dpkg-query -W 'vantrel-*' 2>/dev/null && fail "dpkg still knows the packages after purge"
# Nothing is left: no file named after the packages in what dpkg wrote (deleted files of the lower
# layer show as whiteouts, character devices), and no package data in dpkg's status.
find "$work/layers" -name '*vantrel*' ! -type c | grep . && fail "left behind after purge"
grep -q vantrel /var/lib/dpkg/status && fail "dpkg's status still names the packages"
echo "purged"
EOF
mkdir -p "$work/layers"
unshare -mn bash "$work/inside.sh" "$work" "$version" >"$work/inside.log" 2>&1 || { cat "$work/inside.log"; fail "lifecycle"; }
cat "$work/inside.log"

grep -qx "sim: vantrel-sim $version" "$work/inside.log" || fail "installed vantrel-sim does not run"
[ "$(grep -c '^/lib/systemd/system/vantrel-usb@\?\.service:ExecStart=/usr/bin/vantrel-usb ' "$work/inside.log")" = 2 ] ||
  fail "the installed units do not both start /usr/bin/vantrel-usb"
grep -qx 'exit: 0' "$work/inside.log" || fail "installed vantrel-usb did not end with status 0"
grep -qx 'purged' "$work/inside.log" || fail "the lifecycle did not reach its end"

esc=$'\e'
expected_out="${esc}[1mVantrelUSB${esc}[0m ${esc}[2mv$version${esc}[0m
${esc}[2mUSB companion for Vantrel iOS${esc}[0m

${esc}[31mError:${esc}[0m ${esc}[2mI/O error: Connection refused (os error 111)${esc}[0m
${esc}[2mGoodbye.${esc}[0m"
# A slow machine may show the error line twice (another search after the 2 s pause).
[ "$(uniq "$work/usb.out")" = "$expected_out" ] || {
  echo "--- standard output of the installed vantrel-usb:"; cat -v "$work/usb.out"
  fail "unexpected console output"
}
grep -q 'Searching for iPhone\.\.\.' "$work/usb.err" || fail "no searching line on standard error"
echo "PASSED"
