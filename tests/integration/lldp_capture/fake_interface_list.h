// The interface list seen by LLDPCapture in this test executable: the real
// list of the calling thread's namespace, passed through an edit that a test
// may install (for entries that the namespace cannot have, such as Wi-Fi).
#pragma once

#include <functional>
#include <vector>

#include "platform/netif/netif.h"

namespace fake_netif {

using Edit = std::function<void(std::vector<netif::SCNetworkInterface>&)>;

// Installs an edit for the lifetime of the returned guard.
class ScopedEdit {
  public:
    explicit ScopedEdit(Edit edit);
    ~ScopedEdit();
};

}  // namespace fake_netif
