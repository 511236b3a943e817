#!/usr/bin/env bash
# Builds the .deb twice with scripts/package (in two directories: the bytes must be the same), runs
# lintian on it, checks its control fields and contents, installs it with dpkg and runs the installed
# program. The install happens in a private mount namespace whose /usr, /var and /etc
# are overlays on a tmpfs, so dpkg really resolves the dependencies against this system but the
# system itself is left as it was; the program then runs in a private network namespace, where no
# usbmuxd can answer.
# Usage: deb_package_test.sh SOURCE_DIR VERSION        Exit status 77: skipped (the reason is printed).
set -euo pipefail

src=$(cd "${1:?usage: deb_package_test.sh SOURCE_DIR VERSION}" && pwd)
version=${2:?usage: deb_package_test.sh SOURCE_DIR VERSION}

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "needs root (dpkg and private namespaces)"
for tool in cmake cpack dpkg dpkg-deb dpkg-shlibdeps lintian unshare ip; do
  command -v "$tool" >/dev/null || skip "'$tool' is not installed (scripts/setup installs it)"
done

work=$(mktemp -d /tmp/vantrel-deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== scripts/package, twice"
for copy in a b; do
  bash "$src/scripts/package" "$work/build-$copy" "$work/out-$copy" >"$work/package-$copy.log" 2>&1 ||
    { cat "$work/package-$copy.log"; fail "scripts/package"; }
done
debs=("$work"/out-a/vantrel-usb_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one vantrel-usb_*.deb in $work/out-a"
deb=${debs[0]}
echo "built $(basename "$deb")"
cmp "$deb" "$work/out-b/$(basename "$deb")" || fail "two builds of the same tree gave different packages"

echo "== lintian"
# Informational tags (I:) are allowed; errors and warnings are not (the overrides it ships say why).
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || {
  cat "$work/lintian.log"
  fail "lintian reports errors or warnings"
}
grep -E '^[A-Z]: ' "$work/lintian.log" || true

echo "== control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vantrel-usb ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version-1" ] || fail "Version: $(field Version)"
depends=$(field Depends)
echo "Depends: $depends"
# The property-list library's runtime package comes from dpkg-shlibdeps, and so does the C library.
[[ ", $depends" == *", libplist"[0-9-]* ]] || fail "Depends lacks the libplist runtime package: $depends"
[[ ", $depends" == *", libc6 "* ]] || fail "Depends lacks libc6: $depends"
[ "$(field Recommends)" = usbmuxd ] || fail "Recommends: $(field Recommends)"
[[ "$(field Maintainer)" == *"<"*"@"*">" ]] || fail "Maintainer: $(field Maintainer)"
[ "$(field Description | head -1)" = "USB companion for the Vantrel iOS app" ] ||
  fail "Description: $(field Description | head -1)"

echo "== contents"
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort >"$work/contents"
printf '%s\n' ./lib/systemd/system/vantrel-usb.service ./usr/bin/vantrel-sim ./usr/bin/vantrel-usb \
  ./usr/share/doc/vantrel-usb/README.md.gz ./usr/share/doc/vantrel-usb/README.vantrel-sim.md.gz \
  ./usr/share/doc/vantrel-usb/changelog.Debian.gz ./usr/share/doc/vantrel-usb/copyright \
  ./usr/share/lintian/overrides/vantrel-usb \
  ./usr/share/man/man1/vantrel-sim.1.gz ./usr/share/man/man1/vantrel-usb.1.gz >"$work/expected"
diff -u "$work/expected" "$work/contents" || fail "unexpected package contents"

echo "== install and run"
system_state() {
  dpkg-query -W -f='${Status} ${Version}' vantrel-usb 2>/dev/null || true
  ls -l --time-style=full-iso /usr/bin/vantrel-usb /usr/share/man/man1/vantrel-usb.1.gz 2>/dev/null || true
}
before=$(system_state)
# Runs in the new namespaces; its output is checked below.
cat >"$work/inside.sh" <<'EOF'
set -euo pipefail
work=$1 deb=$2
mount -t tmpfs tmpfs "$work/layers"
for dir in usr var etc; do
  mkdir -p "$work/layers/$dir/upper" "$work/layers/$dir/work"
  mount -t overlay overlay \
    -o "lowerdir=/$dir,upperdir=$work/layers/$dir/upper,workdir=$work/layers/$dir/work" "/$dir"
done
ip link set lo up
mount -t tmpfs -o mode=0755 tmpfs /run
# Only the overlay loses it: man-db's trigger would rebuild its index, which takes seconds.
rm -f /var/lib/man-db/auto-update
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; echo "dpkg -i failed"; exit 1; }
dpkg-query -W -f='installed ${Package} ${Version} ${Status}\n' vantrel-usb
if command -v man >/dev/null; then
  echo "man: $(man -w vantrel-usb) $(man -w vantrel-sim)"
else
  ls /usr/share/man/man1/vantrel-usb.1.gz /usr/share/man/man1/vantrel-sim.1.gz | sed 's/^/man: /'
fi
echo "sim: $(/usr/bin/vantrel-sim --version)"
grep '^ExecStart=' /lib/systemd/system/vantrel-usb.service
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
EOF
mkdir -p "$work/layers"
unshare -mn bash "$work/inside.sh" "$work" "$deb" >"$work/inside.log" 2>&1 || { cat "$work/inside.log"; fail "install and run"; }
cat "$work/inside.log"

# The overlays are gone with the namespace: the system is as it was.
[ "$(system_state)" = "$before" ] || fail "the install changed the system: $(system_state)"

grep -qx "installed vantrel-usb $version-1 install ok installed" "$work/inside.log" || fail "package not installed"
grep -qx 'man: /usr/share/man/man1/vantrel-usb.1.gz /usr/share/man/man1/vantrel-sim.1.gz' "$work/inside.log" ||
  grep -qx 'man: /usr/share/man/man1/vantrel-usb.1.gz' "$work/inside.log" || fail "man pages not found"
grep -qx "sim: vantrel-sim $version" "$work/inside.log" || fail "installed vantrel-sim does not run"
grep -qx 'ExecStart=/usr/bin/vantrel-usb --plain' "$work/inside.log" || fail "the installed unit does not start /usr/bin/vantrel-usb"
grep -qx 'exit: 0' "$work/inside.log" || fail "installed vantrel-usb did not end with status 0"

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
