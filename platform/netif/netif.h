// The system's network interfaces in the manner of SystemConfiguration's
// SCNetworkInterface list, read from the calling thread's network namespace.
//
// - SCNetworkInterfaceCopyAll(): every interface, in increasing interface
//   index (the order in which the system lists them); empty when the list
//   cannot be read.
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

std::vector<SCNetworkInterface> SCNetworkInterfaceCopyAll();

inline const std::string& SCNetworkInterfaceGetInterfaceType(const SCNetworkInterface& interface) {
    return interface.type;
}

inline const std::optional<std::string>& SCNetworkInterfaceGetBSDName(
    const SCNetworkInterface& interface) {
    return interface.bsdName;
}

}  // namespace netif
