#pragma once
// TTorrent: a task's metainfo turned into what the rest of the task works
// with: the tracker list, the info hash, the descriptive texts and the layout
// (files, piece length, piece digests; TTorrentLayout).
//
// The metainfo is either bencoded bytes held by the task (SetTorrentBytes) or
// a torrent file named by the task's main source, "file://" + path
// (SetSourceText). Load picks one; LoadFromBytes and LoadFromFile can be
// called directly.
//
// Owner: the task (plain ownership; the piece map reads it through the task).
// Thread: the task's work thread; no lock.
//
// Keys at the root are found ignoring ASCII case ("ANNOUNCE", "Info"); keys
// inside "info" must match exactly. The info hash is the SHA-1 of the info
// dictionary's bytes exactly as they stand in the input, whatever their form.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/meta/QSha1.h"
#include "engine/meta/TTorrentLayout.h"

namespace engine {

class QElement;
class TTorrentHost;

class TTorrent {
public:
    // Task phases while metainfo is read (see the task work thread).
    static constexpr int PhaseReadingMetainfo = 3;
    static constexpr int PhaseMetainfoDone = 4;
    // Task error: the torrent file cannot be read or is no dictionary.
    static constexpr int ErrorBadTorrentFile = 20211;
    // Torrent files are read whole; real ones stay far below this (a
    // 50,000-piece torrent is about 1 MB).
    static constexpr size_t MaxTorrentFileBytes = size_t{64} << 20;

    explicit TTorrent(TTorrentHost* host = nullptr) : m_host(host) {}

    void SetSourceText(std::string_view text) { m_sourceText = text; }
    void SetTorrentBytes(std::string_view bytes) { m_torrentBytes = bytes; }
    // Where the files go, and the exact target of a single-file torrent.
    void SetSaveFolder(std::string_view folder) { m_layout.SetSaveFolder(folder); }
    void SetTargetPath(std::string_view path) { m_layout.SetTargetPath(path); }

    // The torrent bytes when there are any, else the file of the source text.
    bool Load();
    bool LoadFromBytes(const char* bytes, int64_t length);
    bool LoadFromBytes(std::string_view bytes) {
        return LoadFromBytes(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    bool LoadFromFile(std::string_view source_text);
    // Reads a parsed root dictionary. The buffer it was parsed from must still
    // be alive: the info hash is taken over its bytes.
    bool ParseMetainfo(QElement* root);
    // Empties everything except the code page.
    void Clear();

    int CodePage() const { return m_codePage; }
    const std::string& Announce() const { return m_announce; }
    const std::string& Publisher() const { return m_publisher; }
    const std::string& PublisherUrl() const { return m_publisherUrl; }
    const std::string& Comment() const { return m_comment; }
    int64_t CreationDate() const { return m_creationDate; }
    // All zero when unknown.
    const Sha1Digest& InfoHash() const { return m_infoHash; }
    // Letters and digits as they are, every other byte "%xx" (lowercase): the
    // form sent to trackers.
    const std::string& InfoHashEscaped() const { return m_infoHashEscaped; }
    // 40 lowercase hexadecimal characters; empty when unknown.
    const std::string& InfoHashHex() const { return m_infoHashHex; }
    // Announce first (even when empty), then announce-list entries in
    // document order; duplicates kept. The task skips empty entries.
    const std::vector<std::string>& Trackers() const { return m_trackers; }
    const std::string& TorrentBytes() const { return m_torrentBytes; }
    const std::string& SourceText() const { return m_sourceText; }
    const TTorrentLayout& Layout() const { return m_layout; }
    TTorrentLayout& Layout() { return m_layout; }

    // From the first 'h', 'H', 'u' or 'U' (a scheme: http, https, udp) to the
    // last byte before trailing '|'s; empty when none, or just one byte.
    static std::string CleanTrackerUrl(std::string_view text);
    static std::string EscapeInfoHash(const Sha1Digest& digest);

private:
    void ReadCodePage(QElement* root);
    void ReadTrackers(const QElement* root);
    const QElement* ReadInfo(const QElement* root);
    // Appends the addresses below `container`; false once "Name" is met.
    bool AddTrackers(const QElement* container, int* added);
    void SetPhase(int phase);

    int m_codePage = 0;
    std::string m_announce;
    std::string m_publisher;
    std::string m_publisherUrl;
    std::string m_comment;
    int64_t m_creationDate = 0;
    Sha1Digest m_infoHash{};
    std::string m_infoHashEscaped;
    std::string m_infoHashHex;
    std::vector<std::string> m_trackers;
    std::string m_torrentBytes;
    std::string m_sourceText;
    TTorrentLayout m_layout;
    TTorrentHost* m_host;
};

}  // namespace engine
