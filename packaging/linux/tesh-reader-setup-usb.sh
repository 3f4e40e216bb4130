# shellcheck shell=sh
# Part of tesh-reader-setup.sh (sourced by it): finding the device's cable
# when none is named, and the USB link of a Windows Mobile 5/6 handheld
# (--usb): the launcher waits for its interface and starts the link's
# keeper (tesh-reader-setup-link.sh), which runs usb_keep as root for as
# long as the launcher does: it takes the address, lets port 990, watches
# for unplug and re-plug, and undoes it all at the end.

usb_client=
usb_client_path=
usb_state=
usb_address=
usb_peer=
usb_busy=
usb_port_start=
fallback_address=169.254.2.2
fallback_peer=169.254.2.1

# The first network interface whose driver is rndis_host.
find_rndis() {
  for dev in /sys/class/net/*; do
    driver=$(readlink "$dev/device/driver" 2>/dev/null) || continue
    [ "${driver##*/}" = rndis_host ] && { echo "${dev##*/}"; return 0; }
  done
  return 1
}

# The first serial port of the ipaq driver (an older handheld's USB cable).
find_ipaq_port() {
  for tty in /sys/bus/usb-serial/drivers/ipaq/ttyUSB*; do
    [ -e "$tty" ] && { echo "/dev/${tty##*/}"; return 0; }
  done
  return 1
}

# Without --serial or --usb: the cable that is plugged in, said why; or
# what to plug in. A link already up (made by hand) is used as it is.
choose_road() {
  if ip -o -4 addr show 2>/dev/null | grep -q "inet ${older_desktop%:*}/"; then
    return 0
  fi
  found=$(find_ipaq_port || true)
  if [ -n "$found" ]; then
    serial=$found
    say "found an older handheld's USB cable on $found (its driver is ipaq): using --serial $found"
    return 0
  fi
  found=$(find_rndis || true)
  if [ -n "$found" ]; then
    usb=1
    usb_if=$found
    say "found a Windows Mobile 5/6 handheld's USB link, network interface $found (its driver is rndis_host):" \
        "using --usb $found"
    return 0
  fi
  say "found no handheld: no serial port of the ipaq driver and no network interface of the rndis_host driver." \
      "Plug in the device's USB cable (an older Pocket PC: then sudo modprobe ipaq; a Windows Mobile 5/6" \
      "handheld needs nothing more) and start again, or name the cable: --serial DEVICE, --usb [INTERFACE]"
}

# Until the interface is there (Ctrl+C ends the wait).
usb_await_interface() {
  told=
  while :; do
    if [ -n "$usb_if" ]; then
      ip link show dev "$usb_if" >/dev/null 2>&1 && return 0
    else
      usb_if=$(find_rndis || true)
      if [ -n "$usb_if" ]; then
        say "found the device's USB network interface $usb_if (its driver is rndis_host)"
        return 0
      fi
    fi
    [ -n "$told" ] || say "plug in the device: waiting for ${usb_if:-a network interface of the rndis_host driver}" \
                          "(a Windows Mobile 5/6 handheld on its USB cable; Ctrl+C to stop)"
    told=1
    sleep 1
  done
}

usb_find_client() {
  for client in dhclient dhcpcd udhcpc nmcli; do
    path=$(find_tool "$client")
    if [ -n "$path" ]; then
      usb_client=$client
      usb_client_path=$path
      return 0
    fi
  done
  say "no DHCP client: none of dhclient (Debian: apt-get install isc-dhcp-client), dhcpcd (Debian: apt-get" \
      "install dhcpcd-base), udhcpc (Debian: apt-get install udhcpc) or NetworkManager's nmcli (Debian:" \
      "apt-get install network-manager); using $fallback_address/24"
}

usb_own_address() {
  ip -o -4 addr show dev "$usb_if" 2>/dev/null | awk '{ sub("/.*", "", $4); print $4; exit }'
}

# The address of the DHCP server that gave the lease: the device's.
usb_dhcp_server() {
  case $usb_client in
    dhclient) sed -n 's/.*option dhcp-server-identifier \([0-9.]*\);.*/\1/p' "$usb_state/dhclient.leases" 2>/dev/null | tail -n 1 ;;
    dhcpcd) "$usb_client_path" -U -4 "$usb_if" 2>/dev/null | sed -n "s/^dhcp_server_identifier='\{0,1\}\([0-9.]*\).*/\1/p" ;;
    nmcli) "$usb_client_path" -g DHCP4.OPTION device show "$usb_if" 2>/dev/null | tr '|' '\n' |
             sed -n 's/.*dhcp_server_identifier = \([0-9.]*\).*/\1/p' ;;
  esac
}

# Runs a DHCP client's command for at most SECONDS, in the background so
# that TERM (the launcher gone) is acted on at once: usb_client_run SECONDS
# ARGUMENTS...
usb_client_run() {
  limit=$1
  shift
  timeout "$limit" "$usb_client_path" "$@" </dev/null >>"$usb_state/dhcp.log" 2>&1 &
  usb_busy=$!
  wait "$usb_busy" || true
  usb_busy=
}

# The link's address from the device's DHCP server, else the fallback;
# usb_address and usb_peer (the device) say where.
usb_take_address() {
  ip link set "$usb_if" up 2>/dev/null || true
  if [ -n "$usb_client" ]; then
    say "asking the device's DHCP server for an address on $usb_if ($usb_client)"
    case $usb_client in
      dhclient) usb_client_run 30 -1 -pf "$usb_state/dhclient.pid" -lf "$usb_state/dhclient.leases" "$usb_if" ;;
      dhcpcd) usb_client_run 30 -1 -4 -t 20 "$usb_if" ;;
      udhcpc) usb_client_run 30 -i "$usb_if" -n -q -f ;;
      nmcli) usb_client_run 30 device connect "$usb_if" ;;
    esac
  fi
  usb_address=$(usb_own_address)
  usb_peer=
  if [ -n "$usb_address" ]; then
    usb_peer=$(usb_dhcp_server || true)
  else
    [ -z "$usb_client" ] || say "the device's DHCP server gave no address: using $fallback_address/24"
    ip addr add "$fallback_address/24" dev "$usb_if" 2>>"$usb_state/dhcp.log" ||
      say "$fallback_address could not be set on $usb_if: $(tail -n 1 "$usb_state/dhcp.log")"
    usb_address=$fallback_address
  fi
  usb_peer=${usb_peer:-$fallback_peer}
}

# Gives back the lease, or takes the fallback address off again.
usb_release() {
  case $usb_client in
    dhclient) usb_client_run 10 -r -pf "$usb_state/dhclient.pid" -lf "$usb_state/dhclient.leases" "$usb_if" ;;
    dhcpcd) usb_client_run 10 -k "$usb_if" ;;
    nmcli) usb_client_run 10 device disconnect "$usb_if" ;;
  esac
  # The address the link had goes with it, as with an unplugged device's
  # interface, whatever the client did (udhcpc -q has ended with its
  # lease): the bridge then sees the link gone and, once it is back,
  # tells the device again that it listens.
  [ -n "$usb_address" ] || return 0
  cidr=$(ip -o -4 addr show dev "$usb_if" 2>/dev/null |
         awk -v address="$usb_address" '{ split($4, part, "/"); if (part[1] == address) { print $4; exit } }')
  [ -z "$cidr" ] || ip addr del "$cidr" dev "$usb_if" 2>/dev/null || true
}

# The device docks on port 990, which is root's. A launcher run as root
# binds it directly; for a user's, ports from 990 up are let to every user
# until the wizard ends: one sysctl, undone then, with no package beyond
# procps (an iptables redirect would need iptables and a second port).
usb_allow_port() {
  old=$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || true)
  [ -n "$old" ] && [ "$old" -gt 990 ] || return 0
  say "port 990, where the device docks, is root's: letting it to users until the wizard ends" \
      "(sysctl net.ipv4.ip_unprivileged_port_start=990, the way with nothing to install)"
  "$(find_tool sysctl)" -qw net.ipv4.ip_unprivileged_port_start=990 && usb_port_start=$old
}

# The interface is there and its link is up (ip asks the kernel itself:
# a /sys from another network namespace would not know it).
usb_present() {
  case $(ip -o link show dev "$usb_if" 2>/dev/null) in
    *" state UP "* | *" state UNKNOWN "*) return 0 ;;
    *) return 1 ;;
  esac
}

# Undoes what usb_keep did: the lease given back, the address taken off,
# the port let back to root.
usb_undo() {
  trap '' HUP INT TERM
  [ -z "$usb_busy" ] || kill "$usb_busy" 2>/dev/null
  say "ending the USB link on $usb_if: its address given back, what the script changed undone"
  usb_release
  [ -z "$usb_port_start" ] || "$(find_tool sysctl)" -qw "net.ipv4.ip_unprivileged_port_start=$usb_port_start" || true
  rm -rf "$usb_state"
  exit 0
}

# The USB link's keeper's command, as root: usb_keep INTERFACE CLIENT
# CLIENT_PATH [990]. Its first line says "up ADDRESS PEER" once the link
# has its address (the device being PEER), or "failed WHY"; then, until it
# is sent TERM (the launcher gone): a re-plugged device gets its address
# again (the bridge then tells it that it listens), an unplugged one's is
# given back.
usb_keep() {
  usb_if=$1
  usb_client=$2
  usb_client_path=$3
  me=tesh-reader-setup
  # A terminal that is gone, or a pipe whose reader is, stops no undoing.
  say() { echo "$me: $*" >&2 2>/dev/null || true; }
  trap '' PIPE
  usb_state=$(mktemp -d "${TMPDIR:-/tmp}/tesh-usb.XXXXXX") || { echo "failed: no folder for the lease"; exit 1; }
  trap usb_undo HUP INT TERM
  usb_take_address
  [ "${4:-}" != 990 ] || usb_allow_port
  echo "up $usb_address $usb_peer"
  exec >&2
  plugged=1
  while :; do
    sleep 1 &
    wait $!
    if usb_present; then
      [ -z "$plugged" ] || continue
      say "the device is back on $usb_if"
      usb_take_address
      say "the USB link is up again: this PC $usb_address, the device $usb_peer"
      plugged=1
    elif [ -n "$plugged" ]; then
      say "the device was unplugged ($usb_if is down): its address given back until it is plugged in again"
      usb_release
      plugged=
    fi
  done
}

# The launcher's part: the interface awaited, the keeper started (through
# sudo when not root) and its news taken.
usb_link_up() {
  [ -n "$(find_tool ip)" ] || refuse "ip is not installed; it sets the link's address (Debian: apt-get install iproute2)"
  usb_find_client
  usb_await_interface
  link_needs_root "the USB link (its address, port 990)"
  # shellcheck disable=SC2016 # expanded by the keeper's shell
  start_keeper "" tells sh -c '. "$0/tesh-reader-setup-link.sh" && . "$0/tesh-reader-setup-usb.sh" && usb_keep "$@"' \
    "$program" "$usb_if" "$usb_client" "$usb_client_path" ${as_root:+990}
  case $started in
    'up '*) ;;
    '') refuse "the USB link's keeper did not start (sudo refused it?); run as root, or set the link up yourself" \
          "($kit_readme, \"Windows Mobile 5/6\")" ;;
    *) echo "$me: the USB link could not be made: ${started#failed: }" >&2
       exit 1 ;;
  esac
  # shellcheck disable=SC2086 # the keeper's words
  set -- $started
  usb_address=$2
  usb_peer=$3
  export RAPI_DESKTOP="${RAPI_DESKTOP-$usb_address:5679}"
  export RAPI_PEER="${RAPI_PEER-$usb_peer}"
  say "the USB link is up on $usb_if: this PC $usb_address, the device $usb_peer; dock the device now" \
      "(it docks as soon as the wizard listens)"
}
