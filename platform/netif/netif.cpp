#include "platform/netif/netif.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "platform/base/fd.h"
#include "platform/base/handle.h"
#include "platform/base/path.h"

namespace netif {
namespace {

// Wireless-extensions name request (linux/wireless.h, which cannot be
// included beside net/if.h). Its argument, a struct iwreq, has the layout of
// the first 32 octets of a struct ifreq.
constexpr unsigned long kSIOCGIWNAME = 0x8B01;

// sysfs shows the interfaces of the namespace that mounted it, which need not
// be the calling thread's; its entry counts only when it is the same
// interface (same index). Names come from the kernel: no "/" or "..".
bool sameInterfaceInSysfs(const std::string& root, const std::string& name, unsigned index) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return false;
    }
    std::ifstream in(root + "/class/net/" + name + "/ifindex");
    unsigned sysIndex = 0;
    return (in >> sysIndex) && sysIndex == index;
}

bool sysfsSaysWireless(const std::string& root, const std::string& name, unsigned index) {
    const std::string dir = root + "/class/net/" + name;
    return sameInterfaceInSysfs(root, name, index) &&
           (base::pathExists(dir + "/wireless") || base::pathExists(dir + "/phy80211"));
}

std::string typeOf(int sock, const std::string& name, unsigned index) {
    struct ifreq wrq {};
    std::strncpy(wrq.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(sock, kSIOCGIWNAME, &wrq) == 0 || sysfsSaysWireless("/sys", name, index)) {
        return kSCNetworkInterfaceTypeIEEE80211;
    }
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(sock, SIOCGIFHWADDR, &ifr) != 0) {
        return kSCNetworkInterfaceTypeOther;
    }
    switch (ifr.ifr_hwaddr.sa_family) {
        case ARPHRD_ETHER:
            return kSCNetworkInterfaceTypeEthernet;
        case ARPHRD_LOOPBACK:
            return kSCNetworkInterfaceTypeLoopback;
        default:
            return kSCNetworkInterfaceTypeOther;
    }
}

}  // namespace

std::vector<SCNetworkInterface> systemInterfaces() {
    std::vector<SCNetworkInterface> result;
    const base::Handle<struct if_nameindex, if_freenameindex> list(if_nameindex());
    if (!list) {
        return result;
    }
    const base::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    for (struct if_nameindex* p = list.get(); p->if_index != 0 && p->if_name != nullptr; ++p) {
        SCNetworkInterface interface;
        interface.index = p->if_index;
        interface.bsdName = std::string(p->if_name);
        interface.type = sock ? typeOf(sock.get(), *interface.bsdName, p->if_index)
                              : std::string(kSCNetworkInterfaceTypeOther);
        result.push_back(std::move(interface));
    }
    std::stable_sort(
        result.begin(), result.end(),
        [](const SCNetworkInterface& a, const SCNetworkInterface& b) { return a.index < b.index; });
    return result;
}

namespace detail {

std::vector<SCNetworkInterface> hardwareInterfaces(const std::vector<SCNetworkInterface>& present,
                                                   const std::string& sysfsRoot) {
    std::vector<SCNetworkInterface> result;
    for (const SCNetworkInterface& interface : present) {
        if (!interface.bsdName) {
            continue;
        }
        const std::string& name = *interface.bsdName;
        // The device link is followed: a link to nothing is no device.
        if (!sameInterfaceInSysfs(sysfsRoot, name, interface.index) ||
            !base::pathExists(sysfsRoot + "/class/net/" + name + "/device")) {
            continue;
        }
        SCNetworkInterface kept = interface;
        if (sysfsSaysWireless(sysfsRoot, name, interface.index)) {
            kept.type = kSCNetworkInterfaceTypeIEEE80211;
        }
        result.push_back(std::move(kept));
    }
    std::stable_sort(
        result.begin(), result.end(),
        [](const SCNetworkInterface& a, const SCNetworkInterface& b) { return a.index < b.index; });
    return result;
}

}  // namespace detail

}  // namespace netif
