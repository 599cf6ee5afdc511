// The packaging tool, run as a program: the manifest it writes describes the
// files, and its torrents load in Transmission with the info hash the engine
// computes.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "engine/meta/TTorrent.h"
#include "tests/support/Sandbox.h"
#include "tools/ManifestText.h"

namespace {

using testing_support::Sandbox;

// Runs a shell command and returns its standard output; *status gets its
// exit status.
std::string Capture(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    *status = pclose(pipe);
    return out;
}

std::string Pattern(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + (i >> 10));
    return bytes;
}

TEST(Twpack, WritesManifestAndTorrentsTransmissionAgreesWith) {
    Sandbox box;
    box.Write("stats.ini", "[SubmitEventDownload]\n");
    // Sizes around piece boundaries: one short piece, exact pieces, a tail.
    const std::array<size_t, 4> sizes = {1, 262144, 262144 * 3 + 5, 1 << 20};
    const std::array<std::string, 4> names = {"setup.sh", "data.zip", "d01.cab", "d02.cab"};
    std::string command = std::string(TIDEWELL_TWPACK) + " --out " + box.File("out/p.manifest") +
                          " --title T --resource-list-url https://127.0.0.1/l.xml --rendezvous-host 127.0.0.1" +
                          " --statistics-config " + box.File("stats.ini") +
                          " --announce http://127.0.0.1:6969/announce --announce http://127.0.0.2:6969/announce";
    for (size_t i = 0; i < 4; ++i) {
        box.Write("in/" + names[i], Pattern(sizes[i], static_cast<char>('a' + i)));
        command += " --file " + box.File("in/" + names[i]) + " http://127.0.0.1/" + names[i];
    }
    std::filesystem::create_directories(box.File("out"));
    int status = -1;
    Capture(command + " 2>&1", &status);
    ASSERT_EQ(status, 0);

    auto manifest = tools::ParseManifestText(Sandbox::Read(box.File("out/p.manifest")), "p.manifest");
    EXPECT_EQ(manifest["statistics_config"], "../stats.ini");
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i]);
        std::string key = "file" + std::to_string(i) + ".";
        EXPECT_EQ(manifest[key + "size"], std::to_string(sizes[i]));
        EXPECT_EQ(manifest[key + "url"], "http://127.0.0.1/" + names[i]);
        std::string md5 = Capture("md5sum " + box.File("in/" + names[i]), &status).substr(0, 32);
        EXPECT_EQ(manifest[key + "md5"], md5);

        std::string torrent_path = box.File("out/" + manifest[key + "torrent"]);
        engine::TTorrent torrent;
        ASSERT_TRUE(torrent.LoadFromBytes(Sandbox::Read(torrent_path)));
        std::string shown = Capture("transmission-show " + torrent_path, &status);
        ASSERT_EQ(status, 0) << shown;
        size_t at = shown.find("Hash: ");
        ASSERT_NE(at, std::string::npos) << shown;
        EXPECT_EQ(shown.substr(at + 6, 40), torrent.InfoHashHex());
        EXPECT_NE(shown.find("Name: " + names[i]), std::string::npos);
        EXPECT_NE(shown.find("http://127.0.0.2:6969/announce"), std::string::npos);
    }
}

TEST(Twpack, RefusesIncompleteArguments) {
    Sandbox box;
    int status = 0;
    Capture(std::string(TIDEWELL_TWPACK) + " --out " + box.File("p.manifest") + " 2>&1", &status);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(std::filesystem::exists(box.File("p.manifest")));
}

}  // namespace
