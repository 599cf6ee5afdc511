#include "platform/SystemInfo.h"

#include <gtest/gtest.h>

#include <array>

#include "tests/support/Sandbox.h"

namespace {

using platform::MacAddress;
using testing_support::Sandbox;

TEST(ParseMacText, AcceptsOnlySixColonSeparatedPairs) {
    struct Case {
        const char* name;
        const char* text;
        std::optional<MacAddress> expected;
    };
    const std::array<Case, 7> cases = {{
        {.name = "lower", .text = "02:fc:00:0a:ff:01", .expected = MacAddress{0x02, 0xfc, 0x00, 0x0a, 0xff, 0x01}},
        {.name = "upper with newline", .text = "AB:CD:EF:01:23:45\n", .expected = MacAddress{0xab, 0xcd, 0xef, 0x01, 0x23, 0x45}},
        {.name = "short", .text = "02:fc:00:0a:ff", .expected = std::nullopt},
        {.name = "infiniband length", .text = "80:00:00:48:fe:80:00:00:00:00", .expected = std::nullopt},
        {.name = "dash separated", .text = "02-fc-00-0a-ff-01", .expected = std::nullopt},
        {.name = "not hex", .text = "02:fc:00:0g:ff:01", .expected = std::nullopt},
        {.name = "empty", .text = "", .expected = std::nullopt},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::ParseMacText(c.text), c.expected);
    }
}

// A /sys/class/net lookalike: loopback, zero-address and malformed entries are
// skipped, the rest come in interface index order, not name order.
TEST(NetworkAdapterMacs, SkipsLoopbackAndEmptyAddressesAndOrdersByIndex) {
    Sandbox box;
    auto add = [&](const std::string& name, const char* type, const char* index, const char* address) {
        box.Write("net/" + name + "/type", type);
        box.Write("net/" + name + "/ifindex", index);
        box.Write("net/" + name + "/address", address);
    };
    add("lo", "772\n", "1\n", "00:00:00:00:00:00\n");
    add("wlan0", "1\n", "3\n", "aa:bb:cc:dd:ee:03\n");
    add("eth0", "1\n", "2\n", "aa:bb:cc:dd:ee:02\n");
    add("tun0", "65534\n", "4\n", "\n");
    add("sit0", "776\n", "5\n", "00:00:00:00:00:00\n");
    add("veth9", "1\n", "10\n", "aa:bb:cc:dd:ee:10\n");

    auto macs = platform::NetworkAdapterMacs(box.File("net"));
    ASSERT_EQ(macs.size(), 3u);
    EXPECT_EQ(macs[0][5], 0x02);
    EXPECT_EQ(macs[1][5], 0x03);
    EXPECT_EQ(macs[2][5], 0x10);
}

TEST(NetworkAdapterMacs, MissingFolderGivesNone) {
    Sandbox box;
    EXPECT_TRUE(platform::NetworkAdapterMacs(box.File("absent")).empty());
}

TEST(VideoCards, ReadsCardsButNotConnectorsAndLeavesOutWhatIsMissing) {
    Sandbox box;
    box.Write("drm/card1/device/vendor", "0x1002\n");
    box.Write("drm/card1/device/device", "0x67df\n");
    box.Write("drm/card1/device/uevent", "PCI_CLASS=30000\nDRIVER=amdgpu\nPCI_ID=1002:67DF\n");
    box.Write("drm/card1/device/mem_info_vram_total", "8589934592\n");
    box.Write("module/amdgpu/version", "");
    box.Write("drm/card0/device/vendor", "0x8086\n");
    box.Write("drm/card0/device/device", "0x3e92\n");
    box.Write("drm/card0/device/uevent", "DRIVER=i915\n");
    box.Write("module/i915/version", "1.6.0\n");
    box.Write("drm/card0-HDMI-A-1/status", "connected\n");
    box.Write("drm/renderD128/dev", "226:128\n");
    box.Write("drm/version", "drm 1.1.0\n");

    auto cards = platform::VideoCards(box.File("drm"), box.File("module"));
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].pci_vendor, 0x8086);
    EXPECT_EQ(cards[0].pci_device, 0x3e92);
    EXPECT_EQ(cards[0].driver, "i915");
    EXPECT_EQ(cards[0].driver_version, "1.6.0");
    EXPECT_FALSE(cards[0].memory_bytes.has_value());
    EXPECT_EQ(cards[1].driver, "amdgpu");
    EXPECT_EQ(cards[1].memory_bytes, 8589934592ull);
    EXPECT_EQ(cards[1].driver_version, "");
}

TEST(SystemInfo, ThisMachineAnswersWithoutFailing) {
    // The values differ per machine; what matters is that they are readable
    // here (the tests run on Linux with /proc mounted).
    EXPECT_FALSE(platform::MachineName().empty());
    EXPECT_NE(platform::ProcessorInfoText().find("processor"), std::string::npos);
    EXPECT_NE(platform::MemoryInfoText().find("MemTotal:"), std::string::npos);
}

}  // namespace
