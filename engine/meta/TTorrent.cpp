#include "engine/meta/TTorrent.h"

#include <array>
#include <memory>

#include "engine/meta/Bencode.h"
#include "engine/meta/QElement.h"
#include "engine/meta/TTorrentHost.h"
#include "platform/CodePage.h"
#include "platform/File.h"

namespace engine {

namespace {

constexpr std::string_view FileScheme = "file://";

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool IsAsciiAlnum(uint8_t b) {
    return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
}

std::string_view TrimControlAndBlank(std::string_view text) {
    auto trimmed = [](char c) {
        auto b = static_cast<unsigned char>(c);
        return b >= 0x01 && b <= 0x20;
    };
    while (!text.empty() && trimmed(text.front())) text.remove_prefix(1);
    while (!text.empty() && trimmed(text.back())) text.remove_suffix(1);
    return text;
}

// Code pages named by the "encoding" key.
int CodePageForEncoding(std::string_view name) {
    struct Entry { std::string_view name; int code_page; };
    static constexpr std::array<Entry, 4> Names{{
        {"GBK", 936}, {"BIG5", 950}, {"KOR", 949}, {"Shift-JIS", 932},
    }};
    for (const auto& entry : Names)
        if (EqualsIgnoringCase(name, entry.name)) return entry.code_page;
    return 0;
}

// Root keys are matched ignoring case; the value is the element after the key.
const QElement* RootValue(const QElement* root, const char* key) {
    const QElement* found = root->FindText(key);
    return found ? root->NextSibling(found) : nullptr;
}

}  // namespace

std::string TTorrent::CleanTrackerUrl(std::string_view text) {
    size_t first = text.find_first_of("hHuU");
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of('|');
    if (last == std::string_view::npos || last <= first) return {};
    return std::string(text.substr(first, last - first + 1));
}

std::string TTorrent::EscapeInfoHash(const Sha1Digest& digest) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        if (IsAsciiAlnum(b)) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back('%');
            out.push_back(Hex[b >> 4]);
            out.push_back(Hex[b & 15]);
        }
    }
    return out;
}

void TTorrent::SetPhase(int phase) {
    if (m_host) m_host->SetMetainfoPhase(phase);
}

void TTorrent::Clear() {
    m_announce.clear();
    m_publisher.clear();
    m_publisherUrl.clear();
    m_comment.clear();
    m_creationDate = 0;
    m_infoHash.fill(0);
    m_infoHashEscaped.clear();
    m_infoHashHex.clear();
    m_trackers.clear();
    m_layout.Clear();
}

bool TTorrent::Load() {
    if (m_torrentBytes.empty()) return LoadFromFile(m_sourceText);
    return LoadFromBytes(m_torrentBytes);
}

bool TTorrent::LoadFromFile(std::string_view source_text) {
    if (source_text.size() < FileScheme.size() ||
        !EqualsIgnoringCase(source_text.substr(0, FileScheme.size()), FileScheme))
        return false;
    std::string bytes;
    const std::string path(source_text.substr(FileScheme.size()));
    if (!platform::ReadWholeFile(path, &bytes, MaxTorrentFileBytes) || bytes.size() <= 2 ||
        (bytes[0] != 'd' && bytes[0] != 'D')) {
        if (m_host) {
            m_host->SetTaskError(ErrorBadTorrentFile);
            m_host->RequestStop();
        }
        return false;
    }
    return LoadFromBytes(bytes);
}

bool TTorrent::LoadFromBytes(const char* bytes, int64_t length) {
    if (!bytes || length <= 0) return false;
    SetPhase(PhaseReadingMetainfo);
    Clear();
    if (bytes[0] != 'd' && bytes[0] != 'D') return false;
    std::unique_ptr<QElement> root = ParseElement(bytes, length);
    bool loaded = ParseMetainfo(root.get());
    root.reset();
    SetPhase(PhaseMetainfoDone);
    return loaded;
}

void TTorrent::ReadCodePage(QElement* root) {
    if (m_codePage == 0) {
        int code_page = 0;
        if (const QElement* key = root->FindText("codepage")) {
            code_page = static_cast<int32_t>(static_cast<uint32_t>(key->GetInteger()));
        } else if (const QElement* encoding = RootValue(root, "encoding")) {
            code_page = CodePageForEncoding(encoding->GetText());
        }
        // A code page the platform cannot convert from would turn every name
        // into the empty text; such names are taken byte for byte instead.
        if (platform::IsKnownCodePage(code_page)) m_codePage = code_page;
    }
    // Marks every text of the tree, so each GetLocalText converts from it.
    if (m_codePage != 0) root->SetCodePage(m_codePage);
}

bool TTorrent::AddTrackers(const QElement* container, int* added) {
    const int count = container->GetCount();
    for (int i = 0; i < count; ++i) {
        const QElement* child = container->ChildAt(i);
        if (!child) return false;
        if (child->IsContainer()) {
            if (!AddTrackers(child, added)) return false;
            continue;
        }
        std::string_view text = child->GetText();
        // Some makers label their tiers: "Tracker" entries are labels, and a
        // "Name" entry starts data that holds no more addresses.
        if (text == "Tracker") continue;
        if (text == "Name") return false;
        if (text.empty()) continue;
        m_trackers.push_back(CleanTrackerUrl(text));
        ++*added;
    }
    return true;
}

void TTorrent::ReadTrackers(const QElement* root) {
    if (const QElement* announce = RootValue(root, "announce")) {
        m_announce = std::string(TrimControlAndBlank(CleanTrackerUrl(announce->GetText())));
        m_trackers.push_back(m_announce);
    }
    if (const QElement* list = RootValue(root, "announce-list"); list && list->IsContainer()) {
        int added = 0;
        AddTrackers(list, &added);
    }
}

const QElement* TTorrent::ReadInfo(const QElement* root) {
    const QElement* info = RootValue(root, "info");
    if (!info || info->GetType() != ElementType::Dictionary) return nullptr;
    const char* source = info->GetSource();
    const int64_t length = info->GetEncodedLength();
    if (!source || length < 1) return nullptr;
    // The hash covers the bytes as they stand, from "d" to the closing "e",
    // uppercase delimiters or unsorted keys included.
    m_infoHash = QSha1::Digest(source, static_cast<size_t>(length));
    m_infoHashEscaped = EscapeInfoHash(m_infoHash);
    m_infoHashHex = QSha1::ToHex(m_infoHash);
    if (m_publisher.empty()) m_publisher = GetLocalText(info->FindValue("publisher"));
    if (m_publisherUrl.empty()) m_publisherUrl = GetLocalText(info->FindValue("publisher-url"));
    return info;
}

bool TTorrent::ParseMetainfo(QElement* root) {
    if (!root || !root->IsValid() || root->GetType() != ElementType::Dictionary) {
        Clear();
        return false;
    }
    ReadCodePage(root);
    ReadTrackers(root);
    m_comment = GetLocalText(RootValue(root, "comment"));
    m_publisher = GetLocalText(RootValue(root, "publisher"));
    m_publisherUrl = GetLocalText(RootValue(root, "publisher-url"));
    if (const QElement* date = root->FindText("creation date")) m_creationDate = date->GetInteger();
    const QElement* info = ReadInfo(root);
    if (!m_layout.BuildFromInfo(info)) {
        Clear();
        return false;
    }
    return true;
}

}  // namespace engine
