#!/bin/sh
# Starts ZE-Radio (bin/ze-radio) from its application folder; the console's
# launcher runs this script and takes the screen back when it returns.
#
# The player's exit status says what happens next:
#   0   the user left; return to the launcher
#   10  the user left with the radio still playing in the background; return
#   42  the player has just installed a new version of itself; start it again
# Anything else (a crash) is written to the log and the script returns.

cd "$(dirname "$0")" || exit 1
self=$(basename "$0")

program=./bin/ze-radio
log=ze-radio.log
log_limit=524288       # bytes; a larger log is moved to $log.old before a start
restart_limit=10       # restarts after updates in one launch, against a loop

note() {
  echo "[launch] $(date '+%Y-%m-%d %H:%M:%S') $*" >> "$log"
}

rotate_log() {
  [ -f "$log" ] || return 0
  size=$(wc -c < "$log" 2>/dev/null || echo 0)
  if [ "$size" -gt "$log_limit" ]; then
    mv -f "$log" "$log.old"
  fi
}

restarts=${ZE_RADIO_RESTARTS:-0}
case $restarts in
  ''|*[!0-9]*) restarts=0 ;;
esac

while :; do
  rotate_log
  # Copies made by hand may lose the permission bits.
  [ -x "$program" ] || chmod +x "$program" 2>/dev/null
  note "starting ze-radio"
  "$program" >> "$log" 2>&1
  status=$?
  case $status in
    0)
      note "ze-radio ended"
      exit 0
      ;;
    10)
      note "ze-radio ended, playback continues in the background"
      exit 0
      ;;
    42)
      restarts=$((restarts + 1))
      if [ "$restarts" -gt "$restart_limit" ]; then
        note "ze-radio asked for a restart $restarts times in a row; giving up"
        exit 1
      fi
      note "ze-radio updated itself; starting the new version"
      # The update may have replaced this script as well: hand over to the
      # new copy so that the new version starts the way it expects.
      if [ -f "./$self" ]; then
        ZE_RADIO_RESTARTS=$restarts
        export ZE_RADIO_RESTARTS
        exec sh "./$self"
      fi
      ;;
    *)
      note "ze-radio ended with status $status"
      exit "$status"
      ;;
  esac
done
