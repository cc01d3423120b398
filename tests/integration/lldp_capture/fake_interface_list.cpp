// Link-time seam: this definition of SCNetworkInterfaceCopyAll replaces the
// library's (which then is not linked in).
#include "tests/integration/lldp_capture/fake_interface_list.h"

#include <mutex>

namespace fake_netif {
namespace {
std::mutex lock;
Edit current;
}  // namespace

ScopedEdit::ScopedEdit(Edit edit) {
    std::lock_guard<std::mutex> guard(lock);
    current = std::move(edit);
}

ScopedEdit::~ScopedEdit() {
    std::lock_guard<std::mutex> guard(lock);
    current = nullptr;
}

}  // namespace fake_netif

namespace netif {

std::vector<SCNetworkInterface> SCNetworkInterfaceCopyAll() {
    std::vector<SCNetworkInterface> list = systemInterfaces();
    std::lock_guard<std::mutex> guard(fake_netif::lock);
    if (fake_netif::current) {
        fake_netif::current(list);
    }
    return list;
}

}  // namespace netif
