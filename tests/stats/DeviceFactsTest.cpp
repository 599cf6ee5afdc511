#include "stats/DeviceFacts.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace engine;

TEST(MachineIdText, MixesFileSystemIdIntoAdapterAddress) {
    // fs id 0x44332211: s0=11 s1=22 s2=33 s3=44.
    const platform::MacAddress mac = {0xF0, 0x01, 0xE0, 0x02, 0x03, 0xD0};
    // m0+s2=0x123 -> 23, m1=01, m2+s3=0x124 -> 24, m3+s0=13, m4=03, m5+s2=0x103 -> 03, s0=11, s1=22.
    EXPECT_EQ(MachineIdText(0x44332211, mac), "2301241303031122");
}

TEST(MachineIdText, WithoutAdapterStillSixteenDigitsFromFileSystemId) {
    EXPECT_EQ(MachineIdText(0xA1B2C3D4, platform::MacAddress{}), "B200A1D400B2D4C3");
}

TEST(DeviceCodeText, SplitsTheIdIntoTwoHalves) {
    EXPECT_EQ(DeviceCodeText("2301241303031122"), "0x23012413, 0x03031122");
    EXPECT_EQ(DeviceCodeText("230124130303112"), "");
}

TEST(MacListText, JoinsLowercaseDashedAddresses) {
    EXPECT_EQ(MacListText({}), "");
    EXPECT_EQ(MacListText({{0x02, 0xFC, 0, 0, 0, 1}, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45}}),
              "02-fc-00-00-00-01;ab-cd-ef-01-23-45");
}

TEST(OsText, OtherCodeThenBitsThenCodePageClass) {
    EXPECT_EQ(OsText(true), "999642");
    EXPECT_EQ(OsText(false), "999322");
}

TEST(TypeTexts, MapCodesAndFallBack) {
    struct Case {
        const char* name;
        std::string actual;
        const char* expected;
    };
    const std::array<Case, 10> cases = {{
        {.name = "memory unknown 0", .actual = MemoryTypeText(0), .expected = "DDR-3"},
        {.name = "memory 2", .actual = MemoryTypeText(2), .expected = "DRAM"},
        {.name = "memory 21", .actual = MemoryTypeText(21), .expected = "DDR-2"},
        {.name = "memory 26 (DDR4)", .actual = MemoryTypeText(26), .expected = "DDR-3"},
        {.name = "cpu 3", .actual = CpuTypeText(3), .expected = "Central Processor"},
        {.name = "cpu 7", .actual = CpuTypeText(7), .expected = "Error"},
        {.name = "x86_64", .actual = CpuArchitectureText("x86_64"), .expected = "x64"},
        {.name = "i686", .actual = CpuArchitectureText("i686"), .expected = "x86"},
        {.name = "ppc64le", .actual = CpuArchitectureText("ppc64le"), .expected = "PowerPC"},
        {.name = "aarch64 has no code", .actual = CpuArchitectureText("aarch64"), .expected = "Error"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.actual, c.expected);
    }
    EXPECT_TRUE(IsMachine64Bit("x86_64"));
    EXPECT_TRUE(IsMachine64Bit("aarch64"));
    EXPECT_FALSE(IsMachine64Bit("i686"));
}

TEST(ParseCpuInfo, OnePackagePerPhysicalId) {
    const std::string text =
        "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) A\nphysical id\t: 0\n\n"
        "processor\t: 1\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) A\nphysical id\t: 0\n\n"
        "processor\t: 2\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) B\nphysical id\t: 1\n\n"
        "processor\t: 3\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) B\nphysical id\t: 1\n";
    auto packages = ParseCpuInfo(text);
    ASSERT_EQ(packages.size(), 2u);
    EXPECT_EQ(packages[0].model_name, "Intel(R) Xeon(R) A");
    EXPECT_EQ(packages[1].model_name, "Intel(R) Xeon(R) B");
    EXPECT_EQ(packages[1].vendor_id, "GenuineIntel");
}

TEST(ParseCpuInfo, WithoutPhysicalIdOnePackageAndMissingFieldsEmpty) {
    // ARM kernels list neither "physical id" nor "model name" per processor.
    const std::string text = "processor\t: 0\nBogoMIPS\t: 50.00\n\nprocessor\t: 1\nBogoMIPS\t: 50.00\n\nHardware\t: X\n";
    auto packages = ParseCpuInfo(text);
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].model_name, "");
    EXPECT_EQ(packages[0].vendor_id, "");
    EXPECT_TRUE(ParseCpuInfo("").empty());
}

TEST(ParseMemTotalBytes, ReadsKibibytesAndRejectsOddLines) {
    EXPECT_EQ(ParseMemTotalBytes("MemTotal:       24683728 kB\nMemFree: 1 kB\n"), 24683728ull * 1024);
    EXPECT_EQ(ParseMemTotalBytes("MemFree: 1 kB\n"), std::nullopt);
    EXPECT_EQ(ParseMemTotalBytes("MemTotal: 12 MB\n"), std::nullopt);
    EXPECT_EQ(ParseMemTotalBytes("MemTotal: 99999999999999999999 kB\n"), std::nullopt);
}

TEST(LookupPciName, FindsDeviceUnderItsVendorOnly) {
    const std::string ids =
        "# comment\n"
        "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
        "\t67df  Ellesmere [Radeon RX 470/480/570/580]\n"
        "\t\t1002 0b37  Radeon RX 480\n"
        "8086  Intel Corporation\n"
        "\t3e92  CoffeeLake-S GT2 [UHD Graphics 630]\n"
        "\t67df  Not under AMD\n";
    EXPECT_EQ(LookupPciName(ids, 0x8086, 0x3e92), "Intel Corporation CoffeeLake-S GT2 [UHD Graphics 630]");
    EXPECT_EQ(LookupPciName(ids, 0x1002, 0x67df), "Advanced Micro Devices, Inc. [AMD/ATI] Ellesmere [Radeon RX 470/480/570/580]");
    EXPECT_EQ(LookupPciName(ids, 0x1002, 0x3e92), std::nullopt);
    EXPECT_EQ(LookupPciName(ids, 0x10de, 0x1c03), std::nullopt);
    EXPECT_EQ(LookupPciName("", 0x8086, 0x3e92), std::nullopt);
}

}  // namespace
