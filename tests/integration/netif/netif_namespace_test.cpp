// The shipped interface list in a network namespace holding only virtual
// interfaces (loopback, a veth, a bridge, a tap and a tun device), read
// through the namespace's own sysfs: all of them are present, none of them is
// listed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process/process.h"
#include "tests/integration/lldp_capture/netns_lab.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(NetifNamespace, VirtualInterfacesAreNotListed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    lab::Netns ns("if");
    lab::Netns peer("ifp");
    lab::addVethPair(peer, "vpeer", ns, "vethx");
    ns.ip({"link", "add", "brx", "type", "bridge"});
    ns.ip({"tuntap", "add", "mode", "tap", "name", "tapx"});
    ns.ip({"tuntap", "add", "mode", "tun", "name", "tunx"});
    for (const char* name : {"lo", "brx", "tapx", "tunx"}) {
        ns.ip({"link", "set", name, "up"});
    }
    const process::Result r =
        process::run({"/usr/bin/env", {"ip", "netns", "exec", ns.name(), NETIF_LIST_TOOL}, true});
    ASSERT_TRUE(r.launched && r.exited);
    ASSERT_EQ(r.terminationStatus, 0);
    const std::vector<std::string> lines = linesOf(r.standardOutput);
    for (const char* present :
         {"present lo Loopback", "present vethx Ethernet", "present brx Ethernet",
          "present tapx Ethernet", "present tunx Other"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), present), lines.end()) << present << " in\n"
                                                                               << r.standardOutput;
    }
    for (const std::string& line : lines) {
        EXPECT_NE(line.rfind("hardware ", 0), 0u) << line;
    }
}

}  // namespace
