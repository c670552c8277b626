#!/usr/bin/env bash
# The two packages as a server and then a desktop meet them. For a throwaway
# Debian root in which scripts/package.sh has just built them: removes every
# package the build brought in (BARE_LIST names those the bare root had),
# installs tessaro-daemon and checks that no Qt or X package came with it,
# configures a simulated device as the service's user and runs the service's
# own command; then installs the desktop package on top and starts the
# desktop (offscreen). Prints what each package brought and its size.
#
# It removes packages: run it only where nothing else matters, e.g.
#   ../shared/tools/fresh-check.sh "dpkg-query -W -f='\${Package}\n' >/tmp/bare &&
#     scripts/package.sh && THROWAWAY_ROOT=1 packaging/check-bare-install.sh /tmp/bare"
set -euo pipefail
cd "$(dirname "$0")/.."
bare=${1:-}
[ "${THROWAWAY_ROOT:-}" = 1 ] && [ -f "$bare" ] || {
  echo "usage: THROWAWAY_ROOT=1 $0 BARE_LIST   (removes packages: only in a throwaway root)" >&2
  exit 2
}
[ "$(id -u)" = 0 ] || { echo "check: run as root" >&2; exit 2; }
dir=${BUILD_DIR:-build-deb}
daemon=$(ls "$PWD/$dir"/tessaro-daemon_*.deb)
desktop=$(ls "$PWD/$dir"/tessaro_*.deb)
export DEBIAN_FRONTEND=noninteractive
fail() { echo "check: FAILED: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" { print $2 }' | sort; }
size_kb() { dpkg-query -W -f='${db:Status-Status} ${Installed-Size}\n' | awk '$1 == "installed" { s += $2 } END { print s }'; }

# Back to the bare root: everything the build installed goes.
mapfile -t extra < <(comm -13 <(sort "$bare") <(installed))
if [ "${#extra[@]}" -gt 0 ]; then
  apt-get purge -y -qq "${extra[@]}" >/dev/null
  apt-get autoremove --purge -y -qq >/dev/null
fi
left=$(comm -13 <(sort "$bare") <(installed) | tr '\n' ' ')
[ -z "$left" ] || fail "still installed after the purge: $left"
echo "check: back to the bare root ($(installed | wc -l) packages, $(($(size_kb) / 1024)) MB)"

# A server: the daemon alone.
before=$(installed)
kb=$(size_kb)
apt-get install -y -qq "$daemon" >/dev/null
brought=$(comm -13 <(echo "$before") <(installed))
echo "check: tessaro-daemon brought $(($(echo "$brought" | wc -l) - 1)) packages besides itself," \
  "$((($(size_kb) - kb) / 1024)) MB in all: $(echo "$brought" | tr '\n' ' ')"
desktopish=$(echo "$brought" | grep -Ei '^(lib)?(qt|x11|xcb|xkb|gl|egl|gbm|drm|mesa|wayland|fontconfig|xorg)|^x11-|^fonts-' || true)
[ -z "$desktopish" ] || fail "tessaro-daemon brought desktop packages: $desktopish"
! ldd /usr/bin/tessaro | grep -i qt || fail "/usr/bin/tessaro links Qt"
getent passwd tessaro >/dev/null || fail "no tessaro user"

# Configured as the service's user, as the README says, on a simulated bus.
data=/var/lib/tessaro
nut=$((20000 + RANDOM % 20000))  # the chroot shares the machine's network
# setpriv execs the program itself, so $! below is the program: no function
# or subshell between, or the stop signal would miss it.
as_service=(setpriv --reuid=tessaro --regid=tessaro --init-groups --)
"${as_service[@]}" tessaro-sim --link "$data/bus" --protocol modbus --devices 1-2 >"$data/sim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^ready' "$data/sim.out" && break; sleep 0.1; done
grep -q '^ready' "$data/sim.out" || fail "the simulator did not start: $(cat "$data/sim.out")"
"${as_service[@]}" tessaro config set --data-dir "$data" ComName="$data/bus" Protocol=2 NutListen=127.0.0.1:$nut
"${as_service[@]}" tessaro devices add 1 "UPS-1" --data-dir "$data"
"${as_service[@]}" tessaro devices add 2 "UPS-2" --data-dir "$data"

# The service's own command line, from its unit, as its user.
unit=/usr/lib/systemd/system/tessaro.service
read -r -a command < <(sed -n 's/^ExecStart=//p' "$unit")
echo "check: running the service's command: ${command[*]}"
"${as_service[@]}" "${command[@]}" >"$data/run.out" 2>"$data/run.err" &
monitor=$!
trap 'kill $sim $monitor 2>/dev/null || true' EXIT
answer=
for _ in $(seq 30); do
  sleep 1
  # The network UPS server, spoken to with nothing but bash.
  if { exec 3<>/dev/tcp/127.0.0.1/$nut; } 2>/dev/null; then
    printf 'GET VAR ups2 ups.status\nLOGOUT\n' >&3
    answer=$(timeout 5 cat <&3 || true)
    exec 3<&-
    case $answer in *"VAR ups2 ups.status"*) break ;; esac
  fi
done
kill -TERM "$monitor"
rc=0
wait "$monitor" || rc=$?
cat "$data/run.out"
cat "$data/run.err" >&2
[ "$rc" = 0 ] || fail "the service's command exited $rc"
case $answer in *"VAR ups2 ups.status"*) echo "check: network UPS server: ${answer%%$'\n'*}" ;;
  *) fail "no status of ups2 from the network UPS server: $answer" ;; esac
grep -q "Online" "$data/run.out" || fail "no device came online"
grep -q "Monitor software is closed" "$data/run.out" || fail "no closing event at the end of the service's command"

# A desktop on top.
before=$(installed)
kb=$(size_kb)
apt-get install -y -qq "$desktop" >/dev/null
echo "check: tessaro (desktop) brought $(($(comm -13 <(echo "$before") <(installed) | wc -l) - 1)) packages" \
  "besides itself, $((($(size_kb) - kb) / 1024)) MB"
[ -f /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so ] || fail "no X11 platform plugin with the desktop"
home=$(mktemp -d)
QT_QPA_PLATFORM=offscreen HOME=$home tessaro --data-dir "$home/data" >"$home/desktop.out" 2>&1 &
desk=$!
sleep 10
kill -0 "$desk" 2>/dev/null || fail "the desktop ended: $(cat "$home/desktop.out")"
[ -s "$home/data/Record/EventLog.dat" ] || fail "the desktop logged nothing"
kill -TERM "$desk"
wait "$desk" || true
cat "$home/desktop.out"
echo "check: the desktop started and logged its start; tessaro --headless ran the service"
