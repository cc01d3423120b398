// The shipped interface list against a sysfs tree made here: the machine's
// network hardware (interfaces with a device behind them), in index order,
// wireless ones typed "IEEE80211"; virtual interfaces of every kind are not
// in it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/netif/netif.h"

namespace {

namespace fs = std::filesystem;
using netif::SCNetworkInterface;

class FakeSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/netif-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // /class/net/<name> with its ifindex; `device` a path under /devices
    // that the entry's `device` link points to ("" for none).
    void add(const std::string& name, unsigned index, const std::string& device = "",
             const std::vector<std::string>& dirs = {}) {
        const fs::path entry = root / "class/net" / name;
        fs::create_directories(entry);
        std::ofstream(entry / "ifindex") << index << "\n";
        if (!device.empty()) {
            fs::create_directories(root / "devices" / device);
            fs::create_directory_symlink(fs::path("../../../devices") / device, entry / "device");
        }
        for (const std::string& d : dirs) {
            fs::create_directories(entry / d);
        }
    }

    std::vector<std::string> listed(const std::vector<SCNetworkInterface>& present) {
        std::vector<std::string> out;
        for (const SCNetworkInterface& i : netif::detail::hardwareInterfaces(present, root)) {
            out.push_back(std::to_string(i.index) + " " + i.bsdName.value_or("?") + " " + i.type);
        }
        return out;
    }

    fs::path root;
};

TEST_F(FakeSysfs, OnlyInterfacesBackedByADeviceInIndexOrder) {
    add("lo", 1);
    add("eth0", 2, "pci0000:00/0000:00:1f.6");
    add("wlp3s0", 3, "pci0000:00/0000:03:00.0", {"phy80211"});
    add("veth0", 4);
    add("docker0", 5, "", {"bridge"});
    add("tap0", 6);
    add("enx00e04c680001", 7, "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0");
    add("bond0", 8, "", {"bonding"});
    add("eth0.100", 9);
    add("virbr0", 10, "", {"bridge"});
    add("wlan1", 11, "platform/soc/wifi", {"wireless"});
    add("tun0", 12);
    add("dummy0", 13);
    // The sysfs of another namespace that has an eth9 of another index.
    add("eth9", 42, "pci0000:00/0000:00:19.0");
    // A device link that leads nowhere.
    add("gone0", 15);
    fs::create_directory_symlink("../../../devices/nothing", root / "class/net/gone0/device");

    auto e = [](unsigned index, const std::string& name,
                const std::string& type = netif::kSCNetworkInterfaceTypeEthernet) {
        return SCNetworkInterface{index, name, type};
    };
    // As the kernel lists them, in another order than the index order, with
    // two that sysfs does not show and a name no interface can have.
    const std::vector<SCNetworkInterface> present = {
        e(11, "wlan1"),
        e(1, "lo", netif::kSCNetworkInterfaceTypeLoopback),
        e(7, "enx00e04c680001"),
        e(2, "eth0"),
        e(3, "wlp3s0"),
        e(4, "veth0"),
        e(5, "docker0"),
        e(6, "tap0"),
        e(8, "bond0"),
        e(9, "eth0.100"),
        e(10, "virbr0"),
        e(12, "tun0", netif::kSCNetworkInterfaceTypeOther),
        e(13, "dummy0"),
        e(14, "eth9"),
        e(15, "gone0"),
        e(16, "ghost"),
        e(17, ".."),
        SCNetworkInterface{18, std::nullopt, "Ethernet"},
    };
    EXPECT_EQ(listed(present),
              (std::vector<std::string>{"2 eth0 Ethernet", "3 wlp3s0 IEEE80211",
                                        "7 enx00e04c680001 Ethernet", "11 wlan1 IEEE80211"}));
}

TEST_F(FakeSysfs, NoSysfsNoInterfaces) {
    const std::vector<SCNetworkInterface> present = {{2, "eth0", "Ethernet"}};
    EXPECT_TRUE(netif::detail::hardwareInterfaces(present, (root / "absent").string()).empty());
    EXPECT_TRUE(netif::detail::hardwareInterfaces({}, root).empty());
}

}  // namespace
