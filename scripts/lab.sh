#!/usr/bin/env bash
# The veth lab by hand: two network namespaces joined by a veth pair, the
# controller's side ("qvlab", interface qvhost) and the modules' side
# ("qvlab-mod", interface qvmod). The link's frames stay on that pair and
# never reach the machine's own adapters. Needs root.
#
#   scripts/lab.sh up                  make the namespaces and the pair
#   scripts/lab.sh modsim [ARGS...]    run quorvane-modsim on qvmod (in the foreground)
#   scripts/lab.sh exec CMD [ARGS...]  run a command on the controller's side
#   scripts/lab.sh status              show what exists
#   scripts/lab.sh down                remove everything the lab made
#
# Example:
#   scripts/lab.sh up
#   scripts/lab.sh modsim --mac 02:51:56:00:00:01 --name "Axis controller" &
#   scripts/lab.sh exec build/tools/quorvane-cli modules
#   scripts/lab.sh down
set -euo pipefail
cd "$(dirname "$0")/.."
HOST_NS=qvlab
MOD_NS=qvlab-mod
MODSIM=${MODSIM:-build/tools/quorvane-modsim}

need_root() {
  [ "$(id -u)" -eq 0 ] || { echo "lab.sh: network namespaces need root" >&2; exit 1; }
}
exists() { ip netns list | awk '{print $1}' | grep -qx "$1"; }

case "${1:-}" in
  up)
    need_root
    if exists "$HOST_NS" || exists "$MOD_NS"; then echo "lab.sh: the lab is up already (lab.sh down first)" >&2; exit 1; fi
    ip netns add "$HOST_NS"
    ip netns add "$MOD_NS"
    trap 'ip netns del "$MOD_NS" 2>/dev/null; ip netns del "$HOST_NS" 2>/dev/null' ERR
    ip -n "$HOST_NS" link add name qvhost address 02:00:00:00:00:01 type veth \
      peer name qvmod address 02:00:00:00:00:02 netns "$MOD_NS"
    ip -n "$HOST_NS" link set qvhost up
    ip -n "$MOD_NS" link set qvmod up
    echo "lab up: controller side $HOST_NS (qvhost 02:00:00:00:00:01), modules side $MOD_NS (qvmod)"
    ;;
  modsim)
    need_root
    shift
    exec ip netns exec "$MOD_NS" "$MODSIM" --iface qvmod "$@"
    ;;
  exec)
    need_root
    shift
    [ $# -gt 0 ] || { echo "lab.sh: exec needs a command" >&2; exit 2; }
    exec ip netns exec "$HOST_NS" "$@"
    ;;
  status)
    for ns in "$HOST_NS" "$MOD_NS"; do
      if exists "$ns"; then echo "$ns:"; ip -n "$ns" -brief link; else echo "$ns: absent"; fi
    done
    ;;
  down)
    need_root
    # Whatever still runs in the namespaces goes with them.
    for ns in "$MOD_NS" "$HOST_NS"; do
      if exists "$ns"; then
        for pid in $(ip netns pids "$ns"); do kill "$pid" 2>/dev/null || true; done
        ip netns del "$ns"
      fi
    done
    echo "lab down"
    ;;
  *)
    sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
