// The system's network interfaces in the manner of SystemConfiguration's
// SCNetworkInterface list, read from the calling thread's network namespace.
//
// - SCNetworkInterfaceCopyAll(): the machine's network hardware, as the
//   original's list holds it: every interface backed by a device (a `device`
//   entry under /sys/class/net/<name>/), in increasing interface index (the
//   order in which the system lists them); empty when the list cannot be
//   read. Virtual interfaces (loopback, veth, bridge, tun/tap, dummy, VLAN,
//   bond, the container engines' bridges) are not in it: each one would
//   cost a capture a whole read timeout before it reached the real port.
// - systemInterfaces(): every interface of the namespace, virtual ones
//   included (the list that test builds take instead, see below).
// - Type: "IEEE80211" for wireless interfaces (those with wireless extensions
//   or a wireless phy), "Ethernet" for other Ethernet-framed ones, "Loopback"
//   for the loopback interface and "Other" for the rest.
// - BSD name: the kernel's interface name (eth0, vrx...). An interface always
//   has one here; the optional keeps the shape of the original, where it may
//   be absent.
//
// The list's one definition, SCNetworkInterfaceCopyAll, sits alone in its own
// object file so that a test executable may define its own (a link-time seam),
// for instance around systemInterfaces().
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace netif {

inline constexpr char kSCNetworkInterfaceTypeIEEE80211[] = "IEEE80211";
inline constexpr char kSCNetworkInterfaceTypeEthernet[] = "Ethernet";
inline constexpr char kSCNetworkInterfaceTypeLoopback[] = "Loopback";
inline constexpr char kSCNetworkInterfaceTypeOther[] = "Other";

struct SCNetworkInterface {
    unsigned index = 0;
    std::optional<std::string> bsdName;
    std::string type;
};

// Reads the interfaces of the calling thread's network namespace.
std::vector<SCNetworkInterface> systemInterfaces();

namespace detail {

// Of `present` (the namespace's interfaces, as systemInterfaces() reads
// them), the ones that the sysfs tree at `sysfsRoot` shows backed by a
// device: "<root>/class/net/<name>/device" exists and "<root>/class/net/
// <name>/ifindex" holds the same index (sysfs shows the interfaces of the
// namespace that mounted it, which need not be the caller's). An interface
// that sysfs shows as wireless ("wireless" or "phy80211" there) is typed
// "IEEE80211". In increasing index.
std::vector<SCNetworkInterface> hardwareInterfaces(const std::vector<SCNetworkInterface>& present,
                                                   const std::string& sysfsRoot);

}  // namespace detail

std::vector<SCNetworkInterface> SCNetworkInterfaceCopyAll();

inline const std::string& SCNetworkInterfaceGetInterfaceType(const SCNetworkInterface& interface) {
    return interface.type;
}

inline const std::optional<std::string>& SCNetworkInterfaceGetBSDName(
    const SCNetworkInterface& interface) {
    return interface.bsdName;
}

}  // namespace netif
