#include "platform/netif/netif.h"

namespace netif {

std::vector<SCNetworkInterface> SCNetworkInterfaceCopyAll() {
    return detail::hardwareInterfaces(systemInterfaces(), "/sys");
}

}  // namespace netif
