#!/usr/bin/env bash
# Builds the Debian package and checks it: lintian (an error fails), the installed layout, the
# unit (systemd-analyze verify) and its confinement (systemd-analyze security, at most 2.5).
set -euo pipefail
cd "$(dirname "$0")/.."
debs="$(scripts/package.sh)"
deb="$(grep -v -- -dbgsym_ <<<"$debs" | head -n 1)"
echo "package: $deb"

failed=0
fail() {
  echo "package: $*" >&2
  failed=1
}

lintianStatus=0
lintianOut="$(lintian --fail-on error --tag-display-limit 0 $debs 2>&1)" || lintianStatus=$?
lintianOut="$(grep -v 'running with root privileges' <<<"$lintianOut" || true)"
[ "$lintianStatus" -eq 0 ] || fail "lintian reports errors"
echo "${lintianOut:-lintian: no tags}"

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for path in usr/sbin/fkindexingservice usr/bin/fkcatalogue usr/lib/fkindexingservice/fkpdftext-helper \
  usr/lib/fkindexingservice/libfkpdftext.so etc/fkindexingservice/FKIndexingServiceConfig.xml \
  lib/systemd/system/fkindexingservice.service usr/share/man/man8/fkindexingservice.8.gz \
  usr/share/man/man1/fkcatalogue.1.gz usr/share/doc/fkindexingservice/copyright \
  var/lib/fkindexingservice var/log/fkindexingservice; do
  [ -e "$root/$path" ] || fail "/$path is missing"
done
# Only these places: a file anywhere else (a test binary, a build tree, /opt) is a mistake.
unexpected="$(cd "$root" && find . ! -type d | grep -Ev '^\./(usr/(sbin|bin|lib/fkindexingservice|share/(man|doc))|etc/fkindexingservice|lib/systemd/system)/' || true)"
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"
dpkg-deb -e "$deb" "$root/DEBIAN"
grep -qx /etc/fkindexingservice/FKIndexingServiceConfig.xml "$root/DEBIAN/conffiles" || fail "the settings are no conffile"
grep -q 'deb-systemd-helper' "$root/DEBIAN/postinst" || fail "the postinst does not enable the unit"
grep -q 'adduser --system' "$root/DEBIAN/postinst" || fail "the postinst makes no system user"
grep -q 'libseccomp2' <(dpkg-deb -f "$deb" Depends) || fail "Depends lacks what the shared libraries need"

unit="$root/lib/systemd/system/fkindexingservice.service"
# The unit is verified against the host's units, with the program it starts taken from the package.
mkdir -p "$root/verify"
sed "s|^ExecStart=/|ExecStart=$root/|" "$unit" >"$root/verify/fkindexingservice.service"
systemd-analyze verify --man=no "$root/verify/fkindexingservice.service" || fail "systemd-analyze verify fails on the unit"
security="$(systemd-analyze security --offline=yes "$unit" | tail -n 1)"
echo "$security"
score="$(sed -n 's/.*: \([0-9.]*\) .*/\1/p' <<<"$security")"
awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.5) }' || fail "the unit's exposure $score is above 2.5"

if [ "$failed" -eq 0 ]; then echo "package: all checks passed"; fi
exit "$failed"
