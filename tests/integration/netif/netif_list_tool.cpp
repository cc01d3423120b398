// Prints the shipped interface list ("hardware NAME TYPE") and every
// interface of the namespace ("present NAME TYPE"), one a line.
#include <cstdio>

#include "platform/netif/netif.h"

int main() {
    for (const netif::SCNetworkInterface& i : netif::SCNetworkInterfaceCopyAll()) {
        std::printf("hardware %s %s\n", i.bsdName.value_or("-").c_str(), i.type.c_str());
    }
    for (const netif::SCNetworkInterface& i : netif::systemInterfaces()) {
        std::printf("present %s %s\n", i.bsdName.value_or("-").c_str(), i.type.c_str());
    }
    return 0;
}
