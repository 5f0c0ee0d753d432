#!/usr/bin/env bash
# The tarvocoil package's maintainer scripts through the package life cycle
# (install, upgrade, remove, purge), with and without systemd, without
# touching the machine: the commands they call are stand-ins that log their
# arguments, and each script runs in a mount namespace of its own whose /run
# says whether systemd is running. Needs root (unshare).
#   tests/package/maintainer-scripts-test.sh CONTROL_DIR   (postinst, prerm, postrm)
set -euo pipefail
control=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0

mkdir "$work/bin"
stub='#!/bin/sh
echo "$(basename "$0") $*" >> "$STUB_LOG"
case "$(basename "$0") $1" in
  "systemctl list-units") [ -z "$STUB_UNITS" ] || printf "%s\n" $STUB_UNITS | sed "s/$/ loaded active running camera/" ;;
  "getent passwd"|"getent group") exit "$STUB_GETENT" ;;
esac
exit 0'
for c in systemctl deb-systemd-invoke getent adduser deluser delgroup rm find mkdir chown chmod; do
  printf '%s\n' "$stub" > "$work/bin/$c"
  chmod +x "$work/bin/$c"
done

# run SCRIPT SYSTEMD(0|1) USER_EXISTS(0|1) "UNITS" ARGS... -> the log
run() {
  local script=$1 systemd=$2 user=$3 units=$4; shift 4
  : > "$work/log"
  STUB_LOG=$work/log STUB_UNITS=$units STUB_GETENT=$((1 - user)) PATH="$work/bin:$PATH" SYSTEMD=$systemd \
    unshare -m sh -c 'mount -t tmpfs none /run && if [ "$SYSTEMD" = 1 ]; then /bin/mkdir -p /run/systemd/system; fi &&
                      exec sh "$@"' sh "$control/$script" "$@" ||
    { echo "FAIL $script $*: exit $?"; fails=$((fails + 1)); }
}
has() {  # description, line the log must hold
  if grep -qxF -- "$2" "$work/log"; then echo "ok   $1"; else
    echo "FAIL $1: no '$2' in:"; sed 's/^/     | /' "$work/log"; fails=$((fails + 1)); fi
}
lacks() {  # description, pattern the log must not hold
  if ! grep -q -- "$2" "$work/log"; then echo "ok   $1"; else
    echo "FAIL $1: '$2' in:"; sed 's/^/     | /' "$work/log"; fails=$((fails + 1)); fi
}

run postinst 0 0 "" configure ""
has "first install creates the system user" \
  'adduser --system --group --quiet --home /var/lib/tarvocoil --no-create-home --gecos TarvoCoil video trigger tarvocoil'
lacks "without systemd, no systemctl" '^systemctl'

run postinst 1 1 "tarvocoil-run@cam1.service tarvocoil-run@cam2.service" configure ""
lacks "an existing user is kept" '^adduser'
has "install reloads systemd" 'systemctl --system daemon-reload'
lacks "first install starts no camera" '^deb-systemd-invoke'

run postinst 1 1 "tarvocoil-run@cam1.service tarvocoil-run@cam2.service" configure "1.0.3.3-1"
has "upgrade restarts a running camera" 'deb-systemd-invoke restart tarvocoil-run@cam1.service'
has "upgrade restarts every running camera" 'deb-systemd-invoke restart tarvocoil-run@cam2.service'

run prerm 1 1 "tarvocoil-run@cam1.service" upgrade "1.0.3.5-1"
lacks "upgrade does not stop the cameras (postinst restarts them)" '^deb-systemd-invoke'
run prerm 1 1 "tarvocoil-run@cam1.service" remove
has "remove stops the cameras" 'deb-systemd-invoke stop tarvocoil-run@cam1.service'

run postrm 1 1 "" remove
lacks "remove keeps the configuration and state" '^rm'
lacks "remove keeps the system user" '^del'
run postrm 1 1 "" purge
has "purge removes the configuration and state" 'rm -rf /etc/tarvocoil /var/lib/tarvocoil'
has "purge removes the system user" 'deluser --system --quiet tarvocoil'
has "purge removes the cameras' enablement links" \
  'find /etc/systemd/system -name tarvocoil*.service* ( -type l -o -type d ) -prune -exec rm -rf {} +'

echo "maintainer script cases: $fails failed"
[ "$fails" -eq 0 ]
