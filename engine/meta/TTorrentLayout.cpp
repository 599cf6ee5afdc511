#include "engine/meta/TTorrentLayout.h"

#include <algorithm>
#include <limits>

#include "engine/meta/Bencode.h"
#include "engine/meta/QElement.h"
#include "platform/File.h"

namespace engine {

namespace {

constexpr size_t DigestBytes = 20;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithIgnoringCase(std::string_view text, std::string_view tail) {
    if (tail.size() > text.size()) return false;
    std::string_view end = text.substr(text.size() - tail.size());
    for (size_t i = 0; i < tail.size(); ++i)
        if (LowerAscii(end[i]) != LowerAscii(tail[i])) return false;
    return true;
}

}  // namespace

void TTorrentLayout::SetSaveFolder(std::string_view folder) {
    m_configuredFolder = folder;
    if (!m_configuredFolder.empty() && m_configuredFolder.back() != '/') m_configuredFolder.push_back('/');
    m_saveFolder = m_configuredFolder;
}

void TTorrentLayout::Clear() {
    m_saveFolder = m_configuredFolder;
    m_taskName.clear();
    m_totalLength = 0;
    m_pieceLength = 0;
    m_pieceCount = 0;
    m_pieceDigests.clear();
    m_hasDigests = false;
    m_singleFile = false;
    m_valid = false;
    m_files.clear();
    m_folders.clear();
}

int64_t TTorrentLayout::ComputeSpan(int64_t piece_length, int64_t offset_bytes, int64_t size_bytes) {
    if (size_bytes <= 0 || piece_length <= 0 || offset_bytes < 0) return 0;
    const int64_t in_piece = offset_bytes % piece_length;
    // Bytes that complete the piece begun by earlier files.
    const int64_t completing = in_piece > 0 ? piece_length - in_piece : 0;
    if (size_bytes <= completing) return 1;
    const int64_t rest = size_bytes - completing;
    return rest / piece_length + (rest % piece_length != 0 ? 1 : 0) + (in_piece != 0 ? 1 : 0);
}

std::string TTorrentLayout::SanitizePath(std::string path) {
    size_t start = path.rfind("\\\\?\\", 0) == 0 ? 4 : 0;
    for (size_t i = start; i < path.size(); ++i)
        if (path[i] == '?' || path[i] == '\r' || path[i] == '\n') path[i] = '_';
    return path;
}

std::string TTorrentLayout::SanitizeElement(std::string element) {
    if (element.empty() || element == "." || element == "..") return NeutralElement;
    for (char& c : element)
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    return element;
}

std::string_view TTorrentLayout::PieceDigest(int64_t piece) const {
    if (piece < 0 || piece >= m_pieceCount) return {};
    return std::string_view(m_pieceDigests).substr(static_cast<size_t>(piece) * DigestBytes, DigestBytes);
}

int64_t TTorrentLayout::PieceSize(int64_t piece) const {
    if (piece < 0 || piece >= m_pieceCount) return 0;
    return std::min<int64_t>(m_pieceLength, m_totalLength - piece * m_pieceLength);
}

bool TTorrentLayout::ReadPieces(const QElement* info) {
    const QElement* piece_length = info->FindValue("piece length");
    if (!piece_length || !piece_length->HasInteger()) return false;
    // The piece length is a 32-bit quantity everywhere in the engine; a value
    // that does not fit is refused rather than cut to its low bits.
    const int64_t length = piece_length->GetInteger();
    if (length <= 0 || length > std::numeric_limits<int32_t>::max()) return false;
    m_pieceLength = static_cast<int32_t>(length);

    // BEP 3: "pieces maps to a string whose length is a multiple of 20".
    const QElement* pieces = info->FindValue("pieces");
    if (!pieces || pieces->IsContainer()) return false;
    std::string_view digests = pieces->GetText();
    if (digests.size() < DigestBytes || digests.size() % DigestBytes != 0) return false;
    m_pieceDigests.assign(digests);
    m_pieceCount = static_cast<int64_t>(digests.size() / DigestBytes);
    return true;
}

bool TTorrentLayout::BuildFromInfo(const QElement* info) {
    Clear();
    if (!info || info->GetType() != ElementType::Dictionary || !info->IsValid()) return false;
    m_hasDigests = true;
    m_taskName = GetLocalText(info->FindValue("name"));
    bool built = ReadPieces(info);
    if (built) {
        const QElement* length = info->FindValue("length");
        built = length ? BuildSingleFile(length->GetInteger()) : BuildFileList(info);
    }
    built = built && PiecesMatchLength();
    if (!built) {
        Clear();
        return false;
    }
    m_valid = true;
    return true;
}

bool TTorrentLayout::BuildSingleFile(int64_t length) {
    m_singleFile = true;
    m_taskName = m_taskName.empty() ? DefaultSingleName : SanitizeElement(m_taskName);
    if (length <= 0) return false;
    TTorrentFile file;
    file.index = 0;
    file.path = SanitizePath(m_targetPath.empty() ? m_saveFolder + m_taskName : m_targetPath);
    file.display_name = m_taskName;
    file.size_bytes = length;
    file.offset_bytes = 0;
    file.first_piece = 0;
    file.piece_span = ComputeSpan(m_pieceLength, 0, length);
    m_files.push_back(std::move(file));
    m_totalLength = length;
    return true;
}

void TTorrentLayout::RemoveDoubledName() {
    // A save folder that already ends with the task's folder ("/dl/Game/" and
    // "Game") is not given a second one. Only whole folder names count:
    // "/dl/MyGame/" does not end with the folder "Game".
    if (!EndsWithIgnoringCase(m_saveFolder, m_taskName)) return;
    size_t cut = m_saveFolder.size() - m_taskName.size();
    if (cut > 0 && m_saveFolder[cut - 1] != '/') return;
    m_saveFolder.resize(cut);
}

std::string TTorrentLayout::RelativePath(const QElement* path, bool* folder) const {
    std::string relative = m_taskName;
    const int count = path->GetCount();
    *folder = false;
    for (int i = 0; i < count; ++i) {
        const QElement* element = path->ChildAt(i);
        const bool raw_empty = element->IsContainer() || element->GetTextLength() <= 0;
        if (raw_empty && i == count - 1) {
            // "dir", "" names the folder "dir/" itself.
            *folder = true;
            break;
        }
        if (i > 0) relative.push_back('/');
        relative += SanitizeElement(GetLocalText(element));
    }
    if (*folder && relative.back() != '/') relative.push_back('/');
    return relative;
}

bool TTorrentLayout::BuildFileList(const QElement* info) {
    m_taskName = SanitizeElement(m_taskName) + "/";
    RemoveDoubledName();

    const QElement* files = info->FindValue("files");
    if (!files || files->GetType() != ElementType::List || files->GetCount() <= 0) return false;
    const int list_length = files->GetCount();
    m_files.reserve(static_cast<size_t>(list_length));

    int64_t offset = 0;
    int entries = 0;
    for (const QElement* entry = files->ChildAt(0); entry && entries < list_length;
         entry = files->NextSibling(entry), ++entries) {
        if (entry->GetType() != ElementType::Dictionary || entry->GetCount() <= 0) break;
        const QElement* length_element = entry->FindValue("length");
        const QElement* path = entry->FindValue("path");
        if (!length_element || !path || path->GetCount() <= 0) break;
        const int64_t length = length_element->GetInteger();
        if (length < 0 || length > std::numeric_limits<int64_t>::max() - offset) break;

        bool folder = false;
        std::string relative = RelativePath(path, &folder);
        if (folder) {
            if (length != 0) break;
            m_folders.push_back(SanitizePath(m_saveFolder + relative));
            continue;
        }
        TTorrentFile file;
        file.index = static_cast<int>(m_files.size());
        file.path = SanitizePath(m_saveFolder + relative);
        file.display_name = std::move(relative);
        file.size_bytes = length;
        file.offset_bytes = offset;
        file.first_piece = offset / m_pieceLength;
        file.piece_span = ComputeSpan(m_pieceLength, offset, length);
        m_files.push_back(std::move(file));
        offset += length;
    }
    m_totalLength = offset;
    return true;
}

bool TTorrentLayout::PiecesMatchLength() const {
    // The piece map refuses a layout whose digests do not cover the bytes
    // exactly (every piece full but the last), so such metainfo fails here.
    if (m_totalLength <= 0 || m_pieceCount <= 0 || m_pieceLength <= 0 || m_files.empty()) return false;
    const int64_t covered = m_pieceCount * m_pieceLength;
    return covered >= m_totalLength && covered - m_totalLength < m_pieceLength;
}

bool TTorrentLayout::CreateFolders() const {
    bool ok = true;
    for (const std::string& folder : m_folders) ok = platform::CreateDirectories(folder) && ok;
    return ok;
}

}  // namespace engine
