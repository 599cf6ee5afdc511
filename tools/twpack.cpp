// twpack: the packaging tool. Given the four real package files and their
// download addresses it writes a package manifest with their sizes and MD5
// digests, and makes one single-file torrent per file with the engine's own
// bencode writer (pieces hashed with SHA-1).
//
//   twpack --out <manifest> --file <path> <url> (four times, files 0..3)
//          [--base <manifest>]          package keys (title, list URL, ...) to keep
//          [--title <text>] [--resource-list-url <url>] [--resource-list-ca <pem>]
//          [--rendezvous-host <host>] [--rendezvous-port <port>] [--statistics-config <file>]
//          [--announce <url>]...        trackers; the first is "announce",
//                                       all of them form one tier of "announce-list"
//          [--piece-length <bytes>]     a multiple of 16384; default: see below
//
// Torrents are written beside the output manifest as "<file name>.torrent".
// Files named by the manifest are stored relative to its folder.

#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/meta/Bencode.h"
#include "engine/meta/QByteBuffer.h"
#include "engine/meta/QDictionaryElement.h"
#include "engine/meta/QListElement.h"
#include "engine/meta/QSha1.h"
#include "platform/File.h"
#include "tools/ManifestText.h"

namespace fs = std::filesystem;

namespace {

// Blocks are 16 KiB everywhere in the engine, so pieces are whole blocks.
constexpr uint64_t BlockBytes = 16384;
// Default piece length: the smallest power of two from 256 KiB up that keeps a
// file within about 2048 pieces (a 1.8 GB file gets 1 MiB pieces), capped at
// 16 MiB so a piece's buffer stays modest.
constexpr uint64_t MinPieceBytes = 256 * 1024;
constexpr uint64_t MaxPieceBytes = 16 * 1024 * 1024;
constexpr uint64_t TargetPieces = 2048;
constexpr size_t ReadChunkBytes = 1024 * 1024;
// The slot table stores sizes as uint32.
constexpr uint64_t MaxFileBytes = 0xffffffffull;

struct Options {
    std::string out;
    std::string base;
    std::map<std::string, std::string> package_keys;  // from the command line
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> announces;
    uint64_t piece_length = 0;
};

struct FileFacts {
    uint64_t size = 0;
    std::string md5_hex;
    std::string pieces;  // concatenated SHA-1 digests
};

std::string Hex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

uint64_t DefaultPieceLength(uint64_t size) {
    uint64_t piece = MinPieceBytes;
    while (piece < MaxPieceBytes && (size + piece - 1) / piece > TargetPieces) piece *= 2;
    return piece;
}

class Md5 {
public:
    Md5() : m_ctx(EVP_MD_CTX_new()) {
        if (!m_ctx || EVP_DigestInit_ex(m_ctx, EVP_md5(), nullptr) != 1) throw std::runtime_error("MD5 unavailable");
    }
    ~Md5() { EVP_MD_CTX_free(m_ctx); }
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;
    void Update(const void* bytes, size_t length) { EVP_DigestUpdate(m_ctx, bytes, length); }
    std::string FinalHex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_ctx, digest, &length);
        return Hex(digest, length);
    }

private:
    EVP_MD_CTX* m_ctx;
};

// One pass over the file: its MD5 and the SHA-1 of every piece.
FileFacts Examine(const std::string& path, uint64_t piece_length) {
    platform::File file;
    if (!file.Open(path, platform::OpenMode::ReadOnly)) throw std::runtime_error("cannot open " + path);
    FileFacts facts;
    Md5 md5;
    auto piece = std::make_unique<engine::QSha1>();
    uint64_t in_piece = 0;
    std::vector<char> chunk(ReadChunkBytes);
    for (;;) {
        int64_t got = file.ReadAt(chunk.data(), chunk.size(), facts.size);
        if (got < 0) throw std::runtime_error("cannot read " + path);
        if (got == 0) break;
        md5.Update(chunk.data(), static_cast<size_t>(got));
        size_t used = 0;
        while (used < static_cast<size_t>(got)) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(piece_length - in_piece, uint64_t(got) - used));
            piece->Update(chunk.data() + used, take);
            used += take;
            in_piece += take;
            if (in_piece == piece_length) {
                engine::Sha1Digest d = piece->Final();
                facts.pieces.append(reinterpret_cast<const char*>(d.data()), d.size());
                piece = std::make_unique<engine::QSha1>();
                in_piece = 0;
            }
        }
        facts.size += static_cast<uint64_t>(got);
    }
    if (in_piece > 0) {
        engine::Sha1Digest d = piece->Final();
        facts.pieces.append(reinterpret_cast<const char*>(d.data()), d.size());
    }
    if (facts.size == 0 || facts.size > MaxFileBytes) throw std::runtime_error(path + ": size must be 1..4294967295");
    facts.md5_hex = md5.FinalHex();
    return facts;
}

// The element tree makes containers valid only by parsing: an empty one comes
// from "de" or "le".
template <class Container>
std::unique_ptr<Container> EmptyContainer(const char* empty) {
    auto c = std::make_unique<Container>();
    if (c->Parse(empty, 2) != 2) throw std::runtime_error("cannot make an empty container");
    return c;
}

// In the engine's dialect an integer belongs to the byte string before it, so
// "length" with its value is one element. Keys are appended in sorted order,
// as BEP 3 requires of dictionaries.
std::string MakeTorrent(const std::string& name, const FileFacts& facts, uint64_t piece_length,
                        const std::vector<std::string>& announces) {
    auto root_owner = EmptyContainer<engine::QDictionaryElement>("de");
    engine::QDictionaryElement& root = *root_owner;
    if (!announces.empty()) {
        root.AppendText("announce", 8, 0, false);
        root.AppendText(announces[0].data(), static_cast<int>(announces[0].size()), 0, false);
        root.AppendText("announce-list", 13, 0, false);
        auto tier = EmptyContainer<engine::QListElement>("le");
        for (const std::string& a : announces) tier->AppendText(a.data(), static_cast<int>(a.size()), 0, false);
        auto tiers = EmptyContainer<engine::QListElement>("le");
        if (!tiers->Append(tier.get())) throw std::runtime_error("cannot build announce-list");
        tier.release();
        if (!root.Append(tiers.get())) throw std::runtime_error("cannot build announce-list");
        tiers.release();
    }
    root.AppendText("info", 4, 0, false);
    auto info_owner = EmptyContainer<engine::QDictionaryElement>("de");
    engine::QDictionaryElement* info = info_owner.get();
    info->AppendText("length", 6, static_cast<int64_t>(facts.size), true);
    info->AppendText("name", 4, 0, false);
    info->AppendText(name.data(), static_cast<int>(name.size()), 0, false);
    info->AppendText("piece length", 12, static_cast<int64_t>(piece_length), true);
    info->AppendText("pieces", 6, 0, false);
    info->AppendText(facts.pieces.data(), static_cast<int>(facts.pieces.size()), 0, false);
    if (!root.Append(info)) throw std::runtime_error("cannot build the info dictionary");
    info_owner.release();
    engine::QByteBuffer buffer(size_t{64} << 20);
    if (!engine::WriteElement(&root, buffer)) throw std::runtime_error("cannot encode the torrent of " + name);
    return std::string(buffer.View());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

Options ParseArguments(int argc, char** argv) {
    Options o;
    const std::map<std::string, std::string> package_flags = {
        {"--title", "title"},
        {"--resource-list-url", "resource_list_url"},
        {"--resource-list-ca", "resource_list_ca"},
        {"--rendezvous-host", "rendezvous_host"},
        {"--rendezvous-port", "rendezvous_port"},
        {"--statistics-config", "statistics_config"},
    };
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        auto need = [&](int count) {
            if (i + count >= argc) throw std::runtime_error(flag + " needs " + std::to_string(count) + " value(s)");
        };
        if (flag == "--out") {
            need(1);
            o.out = argv[++i];
        } else if (flag == "--base") {
            need(1);
            o.base = argv[++i];
        } else if (flag == "--file") {
            need(2);
            o.files.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (flag == "--announce") {
            need(1);
            o.announces.emplace_back(argv[++i]);
        } else if (flag == "--piece-length") {
            need(1);
            o.piece_length = std::stoull(argv[++i]);
            if (o.piece_length == 0 || o.piece_length % BlockBytes != 0) {
                throw std::runtime_error("--piece-length must be a positive multiple of 16384");
            }
        } else if (auto it = package_flags.find(flag); it != package_flags.end()) {
            need(1);
            // Files given on the command line are relative to where we run.
            std::string value = argv[++i];
            if (it->second == "resource_list_ca" || it->second == "statistics_config") {
                value = fs::absolute(value).string();
            }
            o.package_keys[it->second] = value;
        } else {
            throw std::runtime_error("unknown argument " + flag);
        }
    }
    if (o.out.empty() || o.files.size() != 4) throw std::runtime_error("need --out and exactly four --file");
    return o;
}

// Package-level keys: the base manifest's, overridden by the command line.
// Paths become relative to the output manifest's folder.
std::map<std::string, std::string> PackageKeys(const Options& o, const fs::path& out_dir) {
    std::map<std::string, std::string> keys;
    if (!o.base.empty()) {
        auto base = tools::ParseManifestText(tools::ReadFileBytes(o.base), o.base);
        fs::path base_dir = fs::absolute(o.base).parent_path();
        for (const char* k : {"title", "resource_list_url", "resource_list_ca", "rendezvous_host", "rendezvous_port",
                              "statistics_config"}) {
            auto it = base.find(k);
            if (it == base.end() || it->second.empty()) continue;
            bool is_path = std::string(k) == "resource_list_ca" || std::string(k) == "statistics_config";
            keys[k] = is_path ? (base_dir / it->second).lexically_normal().string() : it->second;
        }
    }
    for (const auto& [k, v] : o.package_keys) keys[k] = v;
    for (const char* k : {"title", "resource_list_url", "rendezvous_host", "statistics_config"}) {
        if (keys[k].empty()) throw std::runtime_error(std::string("missing package key ") + k);
    }
    for (const char* k : {"resource_list_ca", "statistics_config"}) {
        if (!keys[k].empty()) keys[k] = fs::path(keys[k]).lexically_relative(out_dir).string();
    }
    return keys;
}

void Run(const Options& o) {
    fs::path out = fs::absolute(o.out);
    fs::path out_dir = out.parent_path();
    auto keys = PackageKeys(o, out_dir);
    std::string text = "# Package manifest written by tools/twpack.\n";
    for (const char* k : {"title", "resource_list_url", "resource_list_ca", "rendezvous_host", "rendezvous_port",
                              "statistics_config"}) {
        if (!keys[k].empty()) text += std::string(k) + " = " + keys[k] + "\n";
    }
    for (size_t i = 0; i < o.files.size(); ++i) {
        const auto& [path, url] = o.files[i];
        std::string name = fs::path(path).filename().string();
        int64_t size = platform::FileSize(path);
        uint64_t piece_length = o.piece_length ? o.piece_length : DefaultPieceLength(size > 0 ? uint64_t(size) : 0);
        FileFacts facts = Examine(path, piece_length);
        std::string torrent_name = name + ".torrent";
        WriteFile(out_dir / torrent_name, MakeTorrent(name, facts, piece_length, o.announces));
        std::string prefix = "file" + std::to_string(i) + ".";
        text += "\n" + prefix + "url = " + url + "\n" + prefix + "name = " + name + "\n" + prefix +
                "size = " + std::to_string(facts.size) + "\n" + prefix + "md5 = " + facts.md5_hex + "\n" + prefix +
                "torrent = " + torrent_name + "\n";
    }
    WriteFile(out, text);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Run(ParseArguments(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "twpack: %s\n", e.what());
        return 1;
    }
    return 0;
}
