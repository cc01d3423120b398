// The property lists that the daemon executable carries, read back from the
// built file and from the running test executable's own section.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Common/XQHelperLabel.h"
#include "platform/bundle/bundle.h"
#include "platform/elf/elf.h"
#include "tests/support/harness.h"

namespace {

std::string daemonImage() {
    return xqtest::readFile(std::string(XQ_BINARY_DIR) + "/" + xq::kHelperLabel);
}

std::optional<std::string> section(const std::string& image, const char* name) {
    auto bytes = elf::section_bytes(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(image.data()), image.size()),
        name);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

// The keys of a dictionary in the order the file lists them.
std::vector<std::string> keyOrder(const std::string& xml) {
    std::vector<std::string> keys;
    size_t depth = 0, pos = 0;
    while (pos < xml.size()) {
        size_t open = xml.find('<', pos);
        if (open == std::string::npos) {
            break;
        }
        size_t close = xml.find('>', open);
        std::string tag = xml.substr(open + 1, close - open - 1);
        if (tag == "dict") {
            ++depth;
        } else if (tag == "/dict") {
            --depth;
        } else if (tag == "key" && depth == 1) {
            size_t end = xml.find("</key>", close);
            keys.push_back(xml.substr(close + 1, end - close - 1));
        }
        pos = close + 1;
    }
    return keys;
}

TEST(EmbeddedPlists, TheDaemonCarriesBothListsByteForByte) {
    const std::string image = daemonImage();
    ASSERT_FALSE(image.empty());
    auto info = section(image, "__info_plist");
    auto launchd = section(image, "__launchd_plist");
    ASSERT_TRUE(info);
    ASSERT_TRUE(launchd);
    EXPECT_EQ(*info, xqtest::readFile(std::string(XQ_SOURCE_DIR) + "/plists/Info.plist"));
    EXPECT_EQ(*launchd, xqtest::readFile(std::string(XQ_SOURCE_DIR) + "/plists/Launchd.plist"));
}

TEST(EmbeddedPlists, BundleInformationHasItsKeysInOrderWithTabIndentation) {
    auto info = section(daemonImage(), "__info_plist");
    ASSERT_TRUE(info);
    EXPECT_EQ(keyOrder(*info),
              (std::vector<std::string>{"CFBundleIdentifier", "CFBundleInfoDictionaryVersion",
                                        "CFBundleName", "CFBundleShortVersionString",
                                        "CFBundleVersion", "SMAuthorizedClients"}));
    EXPECT_NE(info->find("\n\t<key>CFBundleVersion</key>\n\t<string>5.16.0.124</string>\n"),
              std::string::npos);
    EXPECT_EQ(info->find("    "), std::string::npos) << "indentation must be tabs";
    EXPECT_EQ(bundle::stringForKeyInPlist(*info, "CFBundleIdentifier"), xq::kHelperLabel);
    EXPECT_EQ(bundle::stringForKeyInPlist(*info, "CFBundleShortVersionString"), "5.16.0 (124)");
    EXPECT_EQ(bundle::stringForKeyInPlist(*info, "CFBundleInfoDictionaryVersion"), "6.0");

    plist_t root = nullptr;
    plist_from_xml(info->data(), static_cast<uint32_t>(info->size()), &root);
    ASSERT_NE(root, nullptr);
    plist_t clients = plist_dict_get_item(root, "SMAuthorizedClients");
    ASSERT_NE(clients, nullptr);
    ASSERT_EQ(plist_get_node_type(clients), PLIST_ARRAY);
    ASSERT_EQ(plist_array_get_size(clients), 1u);
    char* requirement = nullptr;
    plist_get_string_val(plist_array_get_item(clients, 0), &requirement);
    ASSERT_NE(requirement, nullptr);
    EXPECT_STREQ(requirement,
                 "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate "
                 "leaf[subject.OU] = T3MQ8VX2LC and certificate leaf[subject.CN] = \"Developer "
                 "ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)\"");
    free(requirement);
    plist_free(root);
}

TEST(EmbeddedPlists, TheLaunchdJobHasOnlyItsLabelAndMachService) {
    auto launchd = section(daemonImage(), "__launchd_plist");
    ASSERT_TRUE(launchd);
    EXPECT_EQ(keyOrder(*launchd), (std::vector<std::string>{"Label", "MachServices"}));
    plist_t root = nullptr;
    plist_from_xml(launchd->data(), static_cast<uint32_t>(launchd->size()), &root);
    ASSERT_NE(root, nullptr);
    plist_t services = plist_dict_get_item(root, "MachServices");
    ASSERT_NE(services, nullptr);
    EXPECT_EQ(plist_dict_get_size(services), 1u);
    plist_t entry = plist_dict_get_item(services, xq::kHelperLabel);
    ASSERT_NE(entry, nullptr);
    uint8_t value = 0;
    plist_get_bool_val(entry, &value);
    EXPECT_EQ(value, 1);
    plist_free(root);
}

TEST(MainBundle, TheRunningExecutableReadsItsOwnSection) {
    // This test executable embeds the same bundle information.
    EXPECT_EQ(bundle::objectForInfoDictionaryKey("CFBundleVersion"), "5.16.0.124");
    EXPECT_EQ(bundle::objectForInfoDictionaryKey("CFBundleIdentifier"), xq::kHelperLabel);
    EXPECT_EQ(bundle::objectForInfoDictionaryKey("NoSuchKey"), std::nullopt);
    // Not a string.
    EXPECT_EQ(bundle::objectForInfoDictionaryKey("SMAuthorizedClients"), std::nullopt);
}

TEST(MainBundle, BrokenListsGiveNothing) {
    EXPECT_EQ(bundle::stringForKeyInPlist("", "A"), std::nullopt);
    EXPECT_EQ(bundle::stringForKeyInPlist("<plist><dict><key>A</key>", "A"), std::nullopt);
    EXPECT_EQ(bundle::stringForKeyInPlist("<plist version=\"1.0\"><array/></plist>", "A"),
              std::nullopt);
    EXPECT_EQ(
        bundle::stringForKeyInPlist(
            "<plist version=\"1.0\"><dict><key>A</key><string>b</string></dict></plist>", "A"),
        "b");
}

}  // namespace

namespace {

std::string dict(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
           "</dict>\n</plist>\n";
}

TEST(PlistEntries, StringEntriesOnlyAndInFull) {
    auto entries = bundle::stringEntriesOfPlist(
        dict("<key>A</key><string>1</string><key>B</key><integer>2</integer>"
             "<key>C</key><string>x&#10;y</string>"));
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 2u);
    EXPECT_EQ(entries->at("A"), "1");
    EXPECT_EQ(entries->at("C"), "x\ny");
}

TEST(PlistEntries, ANulAnywhereRefusesTheWholeList) {
    // The property-list library cannot hand out a key or string holding NUL
    // without ending the process, so such lists never reach it.
    for (const std::string& body :
         {std::string("<key>A&#0;B</key><string>1</string>"),
          std::string("<key>A</key><string>1&#x00;2</string>"),
          std::string("<key>A</key><string>1&#X0;</string>"),
          std::string("<key>A</key><string>1&#0000;</string>"),
          std::string("<key>A</key><string>1") + std::string(1, '\0') + "2</string>"}) {
        SCOPED_TRACE(body);
        EXPECT_FALSE(bundle::stringEntriesOfPlist(dict(body)));
        EXPECT_EQ(bundle::stringForKeyInPlist(dict(body), "A"), std::nullopt);
    }
    EXPECT_FALSE(bundle::stringEntriesOfPlist(std::string("bplist00") + std::string(40, '\0')));
    EXPECT_TRUE(bundle::stringEntriesOfPlist(dict("<key>A</key><string>&#100;&#x10;</string>")));
}

}  // namespace
