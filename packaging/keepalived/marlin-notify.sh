#!/bin/sh
# keepalived notify script for a pair of Marlin Servers sharing a floating
# address. keepalived calls it as: marlin-notify.sh <type> <name> <state>.
# MASTER promotes this machine's server (SIGUSR1); BACKUP and FAULT demote
# it to the standby (SIGUSR2). The server logs "Promoted to active" or
# "Demoted to standby" in its error log.
state="$3"
case "$state" in
  MASTER) signal=USR1 ;;
  BACKUP|FAULT|STOP) signal=USR2 ;;
  *) exit 0 ;;
esac
exec systemctl kill --kill-who=main --signal="$signal" marlin-server.service
