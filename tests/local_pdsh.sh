#!/usr/bin/env bash
# A stand-in for pdsh that runs on this machine, without ssh, for one host:
#   pdsh -R exec [-f N] -w HOST COMMAND...
# runs COMMAND with %h replaced by HOST, the ssh in front of it and ssh's
# options dropped, and prefixes every line of its output with "HOST: ".
while [ "$1" != -w ]; do shift; done
host=$2
shift 2
set -- "${@//%h/$host}"
if [ "$1" = ssh ]; then
  while [ "$1" != "$host" ]; do shift; done
  shift
fi
sh -c "$*" 2>&1 | sed "s/^/$host: /"
