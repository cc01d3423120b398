// The interface list of the test builds: every interface of the calling
// thread's network namespace, virtual ones included, because the veth pairs
// of the capture tests have no device behind them. Linked into an executable
// as an object (xq_netif_list_test), this definition takes the place of the
// shipped one (copy_all.cpp), which then is not linked in.
#include "platform/netif/netif.h"

namespace netif {

std::vector<SCNetworkInterface> SCNetworkInterfaceCopyAll() {
    return systemInterfaces();
}

}  // namespace netif
