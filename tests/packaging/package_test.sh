#!/bin/sh
# Builds the Debian package from the build folder given as $1 (or takes
# $ZLV_PACKAGE), checks its files and maintainer scripts, unpacks it into a
# throwaway root and runs the unpacked agent's --help and --check-compat.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -n "${ZLV_PACKAGE:-}" ]; then
  deb=$ZLV_PACKAGE
else
  (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack"; }
  deb=$(ls "$work"/out/zelvo-agent_*_amd64.deb)
fi
[ -f "$deb" ] || fail "no package"

dpkg-deb -c "$deb" >"$work/contents"
for path in ./usr/sbin/zlv_service ./usr/lib/zelvo/libkvn_vss_linux.so \
            ./usr/lib/systemd/system/zelvo.service; do
  grep -q " $path\$" "$work/contents" || fail "$path missing"
done
grep -q "^-rwxr-xr-x root/root .* ./usr/sbin/zlv_service\$" "$work/contents" ||
  fail "the agent is not an executable owned by root"
grep -q "libkvn_vss_test" "$work/contents" && fail "the test snapshot library is shipped"

[ "$(dpkg-deb -f "$deb" Package)" = zelvo-agent ] || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q libqt6sql6-sqlite || fail "no database driver dependency"

dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script missing or not executable"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q "mkdir -p /var/lib/Zelvo" "$work/control/postinst" || fail "data root not made"
grep -q "chmod 0700 /var/lib/Zelvo" "$work/control/postinst" || fail "data root not 0700"
grep -q "systemctl enable zelvo.service" "$work/control/postinst" || fail "unit not enabled"
grep -q "systemctl disable zelvo.service" "$work/control/prerm" || fail "unit not disabled"

root="$work/root"
dpkg -x "$deb" "$root"
grep -q "^ExecStart=/usr/sbin/zlv_service\$" "$root/usr/lib/systemd/system/zelvo.service" ||
  fail "the unit does not start the packaged agent"
unit="$root/usr/lib/systemd/system/zelvo.service"
for setting in NoNewPrivileges=yes PrivateTmp=yes; do
  grep -q "^$setting\$" "$unit" || fail "the unit lacks $setting"
done
# Restoration writes anywhere, set-user-ID bits included; the snapshots need
# the block devices.
for setting in ProtectSystem ProtectHome ReadOnlyPaths RestrictSUIDSGID PrivateDevices DeviceAllow; do
  grep -q "^$setting=" "$unit" && fail "the unit sets $setting, which stops backups or restorations"
done
agent="$root/usr/sbin/zlv_service"
if command -v systemd-analyze >/dev/null; then
  sed "s#^ExecStart=.*#ExecStart=$agent#" "$unit" >"$work/zelvo.service"
  systemd-analyze verify "$work/zelvo.service" >"$work/verify" 2>&1 ||
    { cat "$work/verify" >&2; fail "systemd-analyze refuses the unit"; }
fi
"$agent" --help >"$work/help" 2>&1 || fail "--help exited with $?"
grep -q -- "--check-compat" "$work/help" || fail "--help lists no --check-compat"
grep -q "/var/lib/Zelvo" "$work/help" || fail "--help names no data folder"
grep -q "/usr/lib/zelvo" "$work/help" || fail "--help names no library folder"
status=0
"$agent" --check-compat >"$work/compat" 2>&1 || status=$?
[ "$status" -le 1 ] || fail "--check-compat exited with $status"
grep -q "^Compatible: " "$work/compat" || fail "--check-compat printed no verdict"
[ "$status" -eq 0 ] && ! grep -q "Compatible: true" "$work/compat" && fail "verdict and status differ"
echo "package $(basename "$deb") checked"
