#include "platform/netif/netif.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace netif {
namespace {

// Wireless-extensions name request (linux/wireless.h, which cannot be
// included beside net/if.h). Its argument, a struct iwreq, has the layout of
// the first 32 octets of a struct ifreq.
constexpr unsigned long kSIOCGIWNAME = 0x8B01;

// sysfs shows the interfaces of the namespace that mounted it, which need not
// be the calling thread's; its entry counts only when it is the same
// interface (same index).
bool sysfsSaysWireless(const std::string& name, unsigned index) {
    std::string base = "/sys/class/net/" + name;
    std::ifstream in(base + "/ifindex");
    unsigned sysIndex = 0;
    if (!(in >> sysIndex) || sysIndex != index) {
        return false;
    }
    struct stat st {};
    return stat((base + "/wireless").c_str(), &st) == 0 ||
           stat((base + "/phy80211").c_str(), &st) == 0;
}

std::string typeOf(int sock, const std::string& name, unsigned index) {
    struct ifreq wrq {};
    std::strncpy(wrq.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(sock, kSIOCGIWNAME, &wrq) == 0 || sysfsSaysWireless(name, index)) {
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
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr) {
        return result;
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (struct if_nameindex* p = list; p->if_index != 0 && p->if_name != nullptr; ++p) {
        SCNetworkInterface interface;
        interface.index = p->if_index;
        interface.bsdName = std::string(p->if_name);
        interface.type = sock >= 0 ? typeOf(sock, *interface.bsdName, p->if_index)
                                   : std::string(kSCNetworkInterfaceTypeOther);
        result.push_back(std::move(interface));
    }
    if (sock >= 0) {
        close(sock);
    }
    if_freenameindex(list);
    std::stable_sort(
        result.begin(), result.end(),
        [](const SCNetworkInterface& a, const SCNetworkInterface& b) { return a.index < b.index; });
    return result;
}

}  // namespace netif
