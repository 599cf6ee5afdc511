#pragma once
// TTorrentLayout: what a torrent's "info" dictionary says about the bytes to
// fetch and where they go: piece length and digests, the files with their
// offsets, sizes and piece spans, and the folder entries. The piece map
// (engine/pieces) builds its pieces and file objects from it; carrying files
// over from a previous piece map, temporary names and the start-up checks of
// existing data happen there, not here.
//
// Owner: its TTorrent. Thread: the task's work thread; no lock.
//
// Safety: "name" and "path" elements come from outside. Each element is made
// harmless before it becomes part of a path: an empty element (other than a
// trailing one, which marks a folder entry), "." and ".." become "_", and
// '/', '\' and NUL bytes inside an element become '_'. So no element can
// climb out of, or jump away from, the save folder. See SanitizeElement.
//
// Paths use '/' as separator. The save folder always ends with '/' (unless it
// is empty, which means the working folder).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

class QElement;

// One file of the torrent's byte stream.
struct TTorrentFile {
    int index = 0;                // position in the file list
    std::string path;             // save folder + relative path (or the task's exact target path)
    std::string display_name;     // multi-file: "name/dir/file"; single file: the name
    int64_t size_bytes = 0;
    int64_t offset_bytes = 0;     // of the file's first byte in the stream
    int64_t first_piece = -1;     // piece holding the file's first byte
    int64_t piece_span = -1;      // pieces the file touches (0 for an empty file)
};

class TTorrentLayout {
public:
    // Name of a single-file torrent that has none.
    static constexpr const char* DefaultSingleName = "strRecommend";
    // Replacement for a name or path element that could leave the save folder.
    static constexpr const char* NeutralElement = "_";

    // Adds the trailing '/'.
    void SetSaveFolder(std::string_view folder);
    // The task's exact target path; overrides a single-file torrent's path.
    void SetTargetPath(std::string_view path) { m_targetPath = path; }

    // Builds from the info dictionary (keys matched exactly, pair-aware). On
    // failure the layout is empty. A malformed entry in "files" ends the file
    // list there; the files before it are kept.
    bool BuildFromInfo(const QElement* info);
    void Clear();

    // Creates the folders of the folder entries (the storage layer calls this
    // when it prepares the files).
    bool CreateFolders() const;

    bool IsValid() const { return m_valid; }
    bool IsSingleFile() const { return m_singleFile; }
    const std::string& SaveFolder() const { return m_saveFolder; }
    const std::string& TaskName() const { return m_taskName; }
    int64_t TotalLength() const { return m_totalLength; }
    int32_t PieceLength() const { return m_pieceLength; }
    int64_t PieceCount() const { return m_pieceCount; }
    bool HasDigests() const { return m_hasDigests; }
    // 20 × piece count bytes; digest i at offset 20 × i.
    const std::string& PieceDigests() const { return m_pieceDigests; }
    std::string_view PieceDigest(int64_t piece) const;
    // Size of piece i (the last one may be shorter); 0 out of range.
    int64_t PieceSize(int64_t piece) const;
    const std::vector<TTorrentFile>& Files() const { return m_files; }
    // Full paths of the folder entries, each ending with '/'.
    const std::vector<std::string>& Folders() const { return m_folders; }

    // Pieces touched by `size_bytes` bytes at `offset_bytes`: 0 when the size
    // is not positive, else the piece the start completes (if it starts
    // inside one) plus the pieces the rest needs.
    static int64_t ComputeSpan(int64_t piece_length, int64_t offset_bytes, int64_t size_bytes);
    // '?', CR and LF become '_' (after a leading "\\?\" prefix, if any).
    static std::string SanitizePath(std::string path);
    // One name or path element made safe (see the class comment).
    static std::string SanitizeElement(std::string element);

private:
    bool ReadPieces(const QElement* info);
    bool BuildSingleFile(int64_t length);
    bool BuildFileList(const QElement* info);
    void RemoveDoubledName();
    // name + "/" + the sanitised elements of `path` joined by '/'; `folder`
    // tells whether the last element was empty (a folder entry).
    std::string RelativePath(const QElement* path, bool* folder) const;
    bool PiecesMatchLength() const;

    std::string m_configuredFolder;  // as set, with its trailing '/'
    std::string m_saveFolder;        // of the last build (a doubled name cut off)
    std::string m_targetPath;
    std::string m_taskName;
    int64_t m_totalLength = 0;
    int32_t m_pieceLength = 0;
    int64_t m_pieceCount = 0;
    std::string m_pieceDigests;
    bool m_hasDigests = false;
    bool m_singleFile = false;
    bool m_valid = false;
    std::vector<TTorrentFile> m_files;
    std::vector<std::string> m_folders;
};

}  // namespace engine
