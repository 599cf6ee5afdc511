// slotgen: turns a package manifest into the C++ source of the downloader's
// compiled-in package description.
//
//   slotgen <manifest> <output.cpp> [<depfile>]
//
// The output defines the configuration-slot block and the embedded resources
// declared in app/EmbeddedPackage.h. The slot block has the layout the
// downloader decodes at start-up:
//
//   slot (4096 bytes each, NUL-padded)
//   0      base64(resource-list URL)
//   1..4   base64(HTTP URL of file 0..3)
//   5..8   base64(file name of file 0..3)
//   9      +0  uint32 LE size of file 0 | +4 file 1 | +8 file 2 | +12 file 3
//          +16 MD5 of file 0, 32 lowercase hex characters
//   10..12 +16 MD5 of file 1..3
//
// Resources: "TORRENT" 301..304 (the torrent of file 0..3, when the manifest
// names one), "DUCONF" 181 (the statistics configuration, stored as base64
// text), "CACERT" 191 (an extra certificate authority for the resource list,
// PEM, when named).
//
// The manifest is "key = value" lines ('#' starts a comment line); relative
// file names are taken from the manifest's folder. See packages/README.md.

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/ManifestText.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t SlotSize = 4096;
constexpr size_t SlotCount = 13;
constexpr size_t Md5Offset = 16;

std::string ReadFile(const fs::path& path) { return tools::ReadFileBytes(path.string()); }

std::string EncodeBase64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i + 1 == bytes.size()) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

class Manifest {
public:
    explicit Manifest(const fs::path& path)
        : m_path(path), m_values(tools::ParseManifestText(ReadFile(path), path.string())) {}

    std::string Required(const std::string& key) const {
        auto it = m_values.find(key);
        if (it == m_values.end() || it->second.empty()) {
            throw std::runtime_error(m_path.string() + ": missing " + key);
        }
        return it->second;
    }
    std::string Optional(const std::string& key) const {
        auto it = m_values.find(key);
        return it == m_values.end() ? std::string() : it->second;
    }
    // A file named by the manifest, relative to the manifest's folder.
    fs::path FilePath(const std::string& name) const {
        fs::path p(name);
        return p.is_absolute() ? p : m_path.parent_path() / p;
    }

private:
    fs::path m_path;
    std::map<std::string, std::string> m_values;
};

struct Resource {
    std::string type;
    int id;
    std::string bytes;
};

void PutText(std::vector<uint8_t>& block, size_t slot, size_t offset, const std::string& text,
             const std::string& what) {
    // One byte of every slot stays NUL so the downloader always finds an end.
    if (offset + text.size() >= SlotSize) throw std::runtime_error(what + " does not fit its slot");
    std::copy(text.begin(), text.end(), block.begin() + slot * SlotSize + offset);
}

void PutBase64(std::vector<uint8_t>& block, size_t slot, const std::string& text, const std::string& what) {
    PutText(block, slot, 0, EncodeBase64(text), what);
}

bool IsLowerHexDigest(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) return false;
    }
    return true;
}

uint32_t ParseSize(const std::string& text, const std::string& what) {
    size_t used = 0;
    unsigned long long value = std::stoull(text, &used);
    if (used != text.size() || value > UINT32_MAX) throw std::runtime_error(what + ": bad size " + text);
    return static_cast<uint32_t>(value);
}

std::vector<uint8_t> BuildSlots(const Manifest& m) {
    std::vector<uint8_t> block(SlotSize * SlotCount, 0);
    PutBase64(block, 0, m.Required("resource_list_url"), "resource_list_url");
    for (size_t i = 0; i < 4; ++i) {
        std::string prefix = "file" + std::to_string(i) + ".";
        PutBase64(block, 1 + i, m.Required(prefix + "url"), prefix + "url");
        PutBase64(block, 5 + i, m.Required(prefix + "name"), prefix + "name");
        uint32_t size = ParseSize(m.Required(prefix + "size"), prefix + "size");
        for (size_t b = 0; b < 4; ++b) block[9 * SlotSize + i * 4 + b] = uint8_t(size >> (8 * b));
        std::string md5 = m.Required(prefix + "md5");
        if (!IsLowerHexDigest(md5)) throw std::runtime_error(prefix + "md5 is not 32 lowercase hex digits");
        PutText(block, 9 + i, Md5Offset, md5, prefix + "md5");
    }
    return block;
}

std::vector<Resource> CollectResources(const Manifest& m, std::vector<fs::path>& inputs) {
    std::vector<Resource> resources;
    for (int i = 0; i < 4; ++i) {
        std::string torrent = m.Optional("file" + std::to_string(i) + ".torrent");
        if (torrent.empty()) continue;
        fs::path p = m.FilePath(torrent);
        inputs.push_back(p);
        resources.push_back({"TORRENT", 301 + i, ReadFile(p)});
    }
    fs::path stats = m.FilePath(m.Required("statistics_config"));
    inputs.push_back(stats);
    resources.push_back({"DUCONF", 181, EncodeBase64(ReadFile(stats))});
    std::string ca = m.Optional("resource_list_ca");
    if (!ca.empty()) {
        fs::path p = m.FilePath(ca);
        inputs.push_back(p);
        resources.push_back({"CACERT", 191, ReadFile(p)});
    }
    return resources;
}

void WriteBytes(std::ostream& out, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out << unsigned(data[i]) << ',';
        if (i % 24 == 23) out << '\n';
    }
    out << '\n';
}

std::string CString(const std::string& text) {
    std::ostringstream out;
    out << '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (c < 0x20 || c >= 0x7f) {
            // Octal escapes keep UTF-8 bytes exact whatever the compiler's charset.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\%03o", c);
            out << esc;
        } else {
            out << c;
        }
    }
    out << '"';
    return out.str();
}

// The rendezvous server's UDP port: 82, the product's, unless the manifest
// names another (the demo runs its own server on an unprivileged port).
int RendezvousPort(const Manifest& m) {
    const std::string text = m.Optional("rendezvous_port");
    if (text.empty()) return 82;
    size_t used = 0;
    int port = 0;
    try {
        port = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || port < 1 || port > 65535) throw std::runtime_error("rendezvous_port: not a port: " + text);
    return port;
}

void WriteSource(std::ostream& out, const Manifest& m, const std::vector<uint8_t>& slots,
                 const std::vector<Resource>& resources) {
    out << "// Generated by tools/slotgen from the package manifest. Do not edit.\n"
        << "#include \"app/EmbeddedPackage.h\"\n\nnamespace app {\nnamespace {\n\n";
    size_t used = slots.size();
    while (used > 0 && slots[used - 1] == 0) --used;
    out << "const unsigned char kSlotBlock[" << slots.size() << "] = {\n";
    WriteBytes(out, slots.data(), used);
    out << "};\n\n";
    for (const Resource& r : resources) {
        out << "const unsigned char kResource" << r.type << r.id << "[" << (r.bytes.empty() ? 1 : r.bytes.size())
            << "] = {\n";
        WriteBytes(out, reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size());
        out << "};\n";
    }
    out << "\nconst EmbeddedResource kResources[] = {\n";
    for (const Resource& r : resources) {
        out << "    {" << CString(r.type) << ", " << r.id << ", kResource" << r.type << r.id << ", "
            << r.bytes.size() << "},\n";
    }
    out << "};\n\nconst ResourceModule kModule{kResources, " << resources.size() << "};\n\n}  // namespace\n\n"
        << "std::span<const unsigned char> BuiltInSlotBlock() { return kSlotBlock; }\n"
        << "const ResourceModule* BuiltInModule() { return &kModule; }\n"
        << "const char* BuiltInProductTitle() { return " << CString(m.Required("title")) << "; }\n"
        << "const char* BuiltInRendezvousHost() { return " << CString(m.Required("rendezvous_host")) << "; }\n"
        << "int BuiltInRendezvousPort() { return " << RendezvousPort(m) << "; }\n"
        << "\n}  // namespace app\n";
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: slotgen <manifest> <output.cpp> [<depfile>]\n");
        return 2;
    }
    try {
        fs::path manifest_path = fs::absolute(argv[1]);
        Manifest manifest(manifest_path);
        std::vector<fs::path> inputs{manifest_path};
        std::vector<uint8_t> slots = BuildSlots(manifest);
        std::vector<Resource> resources = CollectResources(manifest, inputs);
        std::ostringstream source;
        WriteSource(source, manifest, slots, resources);
        WriteText(argv[2], source.str());
        if (argc == 4) {
            std::ostringstream dep;
            dep << argv[2] << ":";
            for (const fs::path& p : inputs) dep << " " << fs::absolute(p).string();
            dep << "\n";
            WriteText(argv[3], dep.str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "slotgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
