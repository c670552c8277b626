#!/bin/sh
# Event hook for Tessaro: shuts this machine down cleanly when one chosen UPS
# has been on battery for MINUTES minutes, or at once when it reports a low
# battery. Tessaro runs it (without a shell of its own) for every event log
# record, with the record in TESSARO_* environment variables; it returns at
# once, because a hook that takes longer than 30 s is stopped.
#
# Install:
#   install -m 755 docs/shutdown-hook.sh /usr/local/sbin/tessaro-shutdown-hook
# and in UserParaIni.ini:
#   [Hooks]
#   OnEvent=/usr/local/sbin/tessaro-shutdown-hook
#
# Choose the device and the delay here, or in Tessaro's environment:
ADDRESS=${SHUTDOWN_ADDRESS:-2}          # bus address of the UPS that feeds this machine
MINUTES=${SHUTDOWN_MINUTES:-5}          # minutes on battery before shutting down
SHUTDOWN=${SHUTDOWN_COMMAND:-/sbin/shutdown}
# The service's own /run/tessaro when it runs there (the rest of /run is read-only to it).
STATE=${SHUTDOWN_STATE_DIR:-${RUNTIME_DIRECTORY:-/run}}/tessaro-shutdown-pending

[ "$TESSARO_ADDRESS" = "$ADDRESS" ] || exit 0

case "$TESSARO_KIND:$TESSARO_CODE:$TESSARO_ACTIVE" in
  1:5:*)
    # State change to "Battery Status": schedule the shutdown, once; not
    # while a battery test runs, whose battery supply is no mains failure.
    [ "$TESSARO_TESTING" = 1 ] && exit 0
    [ -e "$STATE" ] && exit 0
    : > "$STATE"
    exec "$SHUTDOWN" -h "+$MINUTES" "UPS $TESSARO_DEVICE on battery since $TESSARO_TIME"
    ;;
  1:6:*)
    # A battery self-test is not a mains failure.
    exit 0
    ;;
  1:*)
    # Any other state (online, bypass, ...): the mains is back; cancel what we scheduled.
    [ -e "$STATE" ] || exit 0
    rm -f "$STATE"
    exec "$SHUTDOWN" -c "UPS $TESSARO_DEVICE: $TESSARO_TEXT"
    ;;
  2:21:1 | 2:23:1 | 2:67:1 | 2:206:1 | 2:209:1)
    # A low-battery alarm raised: no time left to wait.
    : > "$STATE"
    exec "$SHUTDOWN" -h now "UPS $TESSARO_DEVICE: $TESSARO_TEXT"
    ;;
esac
exit 0
