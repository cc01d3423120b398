#include "platform/netif/netif.h"

namespace netif {

std::vector<SCNetworkInterface> SCNetworkInterfaceCopyAll() {
    return systemInterfaces();
}

}  // namespace netif
