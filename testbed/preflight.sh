# shellcheck shell=bash
# preflight.sh - sourced by the scripts that bring up the network testbed:
# defines tb_preflight, which checks what the testbed needs (root, network
# namespaces, a root mount that a new mount namespace can make a slave, ksh).
# Sourcing does nothing else; the checks create nothing that outlives them.

# tb_preflight: returns 0 when the testbed can run here; otherwise prints one
# sentence on standard error naming what is missing and what to do, and
# returns 1.
tb_preflight() {
  local err
  if [ "$(id -u)" != 0 ]; then
    echo "The testbed needs root for its network namespaces: run this as root (with sudo otherwise)." >&2
    return 1
  fi
  if ! command -v ip >/dev/null 2>&1 || ! command -v unshare >/dev/null 2>&1; then
    echo "The ip or unshare command is missing: install iproute2 and util-linux (scripts/prereqs.sh does)." >&2
    return 1
  fi
  if ! err=$(ip netns list 2>&1 >/dev/null) || ! err=$(unshare --net true 2>&1); then
    err=${err%%$'\n'*} err=${err%.}  # its first line goes inside the sentence
    echo "Network namespaces are not available here (${err:-ip netns list failed}): run on a" \
         "kernel and in a container that allow them (docker run --privileged)." >&2
    return 1
  fi
  # ip netns exec makes / a slave mount in a new mount namespace, which fails
  # where / is not a mount point (a chroot, some containers).
  if ! err=$(unshare --mount /bin/sh -c 'mount --make-rslave /' 2>&1); then
    err=${err%%$'\n'*} err=${err%.}  # its first line goes inside the sentence
    echo "The testbed cannot start here because \"mount --make-rslave /\" fails in a new mount" \
         "namespace (${err:-no reason given}), as in a chroot or an unprivileged container:" \
         "run it on the machine itself or in a privileged container (docker run --privileged)." >&2
    return 1
  fi
  if [ ! -x /bin/ksh ]; then
    echo "/bin/ksh is missing (the library runs the admin tool through it): install the ksh" \
         "package (scripts/prereqs.sh does)." >&2
    return 1
  fi
  return 0
}
