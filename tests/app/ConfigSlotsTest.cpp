#include "app/ConfigSlots.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/EmbeddedPackage.h"

namespace {

using app::DecodeBase64;
using app::DecodeSlot;

TEST(DecodeBase64, FollowsTheDownloadersRules) {
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const std::array<Case, 10> cases{{
        {.name = "empty", .text = "", .expected = ""},
        {.name = "full groups", .text = "aHR0cDovL2E=", .expected = "http://a"},
        {.name = "length 5 is not a multiple of 4", .text = "aHR0c", .expected = ""},
        {.name = "length 7", .text = "aHR0cDo", .expected = ""},
        {.name = "one pad gives two bytes", .text = "YWI=", .expected = "ab"},
        {.name = "two pads give one byte", .text = "YQ==", .expected = "a"},
        {.name = "pad in third place ends the output", .text = "YQ==YWJj", .expected = "a"},
        {.name = "pad in first place counts as zero", .text = "=AAA", .expected = std::string(3, '\0')},
        // '*' is outside the alphabet: it counts as 255 and its bits are
        // shifted in: (255 << 2 | 255 >> 4) & 0xff = 0xff, and so on.
        {.name = "out-of-alphabet counts as 255", .text = "****", .expected = "\xff\xff\xff"},
        {.name = "mixed", .text = "*QAA", .expected = std::string("\xfd\x00\x00", 3)},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeBase64(c.text, 4096), c.expected);
    }
}

TEST(DecodeBase64, RefusesOutputBeyondCapacity) {
    bool refused = false;
    EXPECT_EQ(DecodeBase64("YWJj", 3, &refused), "abc");
    EXPECT_FALSE(refused);
    EXPECT_EQ(DecodeBase64("YWJjZA==", 3, &refused), "");
    EXPECT_TRUE(refused);
}

TEST(DecodeSlot, StopsAtTheSlotsNulAndTheDecodedNul) {
    std::string slot = "YWJj";
    slot.resize(4096, '\0');
    EXPECT_EQ(DecodeSlot(slot), "abc");
    // "a\0b" decodes to a C string "a".
    EXPECT_EQ(DecodeSlot("YQBi"), "a");
    // A slot whose text fills all 4096 bytes is still read: 3072 bytes.
    EXPECT_EQ(DecodeSlot(std::string(4096, 'Q')).size(), 3072u);
}

std::vector<unsigned char> Block() { return std::vector<unsigned char>(app::SlotSize * app::SlotCount, 0); }

void Put(std::vector<unsigned char>& block, size_t slot, size_t offset, const std::string& text) {
    std::copy(text.begin(), text.end(), block.begin() + static_cast<long>(slot * app::SlotSize + offset));
}

TEST(PackageConfig, ReadsTheSlotLayout) {
    auto block = Block();
    Put(block, 0, 0, "aHR0cHM6Ly9s");  // https://l
    Put(block, 1, 0, "aHR0cDovL2E=");  // http://a
    Put(block, 8, 0, "ZDM=");          // d3
    // Size table: little-endian uint32 at the start of slot 9.
    const unsigned char sizes[16] = {0x00, 0x30, 0xdb, 0x0a, 1, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
    std::copy(std::begin(sizes), std::end(sizes), block.begin() + 9 * 4096);
    Put(block, 9, 16, "c92ed8817bc0661ca91ec1d4e45c0b75");
    Put(block, 12, 16, "307c9a9e171d8fce727a4ec2154f5d53");

    app::PackageConfig c = app::PackageConfig::FromSlotBlock(block);
    EXPECT_EQ(c.resource_list_url, "https://l");
    EXPECT_EQ(c.urls[0], "http://a");
    EXPECT_EQ(c.urls[1], "");
    EXPECT_EQ(c.names[3], "d3");
    EXPECT_EQ(c.sizes[0], 182136832u);
    EXPECT_EQ(c.sizes[1], 1u);
    EXPECT_EQ(c.sizes[3], 0xffffffffu);
    EXPECT_EQ(c.PackageId(), "c92ed8817bc0661ca91ec1d4e45c0b75");
    EXPECT_EQ(c.md5[3], "307c9a9e171d8fce727a4ec2154f5d53");
    EXPECT_EQ(c.WeightMiB(0), 173u);
    // 64-bit sum: 182136832 + 1 + 4294967295 + 100 MiB.
    EXPECT_EQ(c.RequiredSpace(), 182136832ull + 1 + 4294967295ull + 104857600ull);
}

TEST(PackageConfig, EmptyBlockNeedsNoSpace) {
    auto block = Block();
    EXPECT_EQ(app::PackageConfig::FromSlotBlock(block).RequiredSpace(), 0u);
    // A truncated block decodes what it has and never reads past its end.
    std::vector<unsigned char> short_block(4096 * 9 + 3, 'A');
    app::PackageConfig c = app::PackageConfig::FromSlotBlock(short_block);
    EXPECT_EQ(c.sizes[0], 0u);
    EXPECT_EQ(c.md5[0], "");
}

std::map<std::string, std::string> ReadManifest(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, std::string> values;
    std::string line;
    auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(" \t\r"));
        s.erase(s.find_last_not_of(" \t\r") + 1);
        return s;
    };
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        values[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return values;
}

// The block compiled into the program decodes, through the same code the
// program uses, to what the chosen manifest says.
TEST(PackageConfig, BuiltInBlockMatchesTheManifest) {
    auto manifest = ReadManifest(TIDEWELL_PACKAGE_MANIFEST);
    ASSERT_FALSE(manifest.empty());
    app::PackageConfig c = app::PackageConfig::FromSlotBlock(app::BuiltInSlotBlock());
    EXPECT_EQ(app::BuiltInSlotBlock().size(), app::SlotSize * app::SlotCount);
    EXPECT_EQ(c.resource_list_url, manifest["resource_list_url"]);
    for (int i = 0; i < app::PackageFileCount; ++i) {
        SCOPED_TRACE(i);
        std::string key = "file" + std::to_string(i) + ".";
        EXPECT_EQ(c.urls[size_t(i)], manifest[key + "url"]);
        EXPECT_EQ(c.names[size_t(i)], manifest[key + "name"]);
        EXPECT_EQ(c.md5[size_t(i)], manifest[key + "md5"]);
        EXPECT_EQ(std::to_string(c.sizes[size_t(i)]), manifest[key + "size"]);
    }
    EXPECT_EQ(std::string(app::BuiltInProductTitle()), manifest["title"]);
    EXPECT_EQ(std::string(app::BuiltInRendezvousHost()), manifest["rendezvous_host"]);
    const std::string port = manifest["rendezvous_port"];
    EXPECT_EQ(app::BuiltInRendezvousPort(), port.empty() ? 82 : std::stoi(port));
}

}  // namespace
