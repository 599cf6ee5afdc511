#include "engine/pieces/TResumeCodec.h"

#include <openssl/crypto.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/meta/Bencode.h"
#include "engine/meta/QIntegerElement.h"
#include "engine/pieces/QBufferPool.h"
#include "engine/pieces/TPieces.h"
#include "engine/meta/QSha1.h"
#include "engine/pieces/TSha1State.h"
#include "platform/File.h"

namespace engine {

namespace {

constexpr size_t InfoHashBytes = 20;
constexpr int64_t MissingFileSize = -1;

// The first child whose text is exactly `text` (keys are case-sensitive).
QElement* FindExact(const QElement* parent, std::string_view text) {
    for (int k = 0; k < parent->GetCount(); ++k) {
        QElement* child = parent->ChildAt(k);
        if (child && !child->IsContainer() && child->IsValid() && child->GetText() == text) return child;
    }
    return nullptr;
}

bool HasText(const QElement* e, std::string_view text) {
    return e && !e->IsContainer() && e->IsValid() && e->GetText() == text;
}

// The value that follows a key: its next sibling.
QElement* ValueOf(const QElement* parent, std::string_view key) {
    QElement* k = FindExact(parent, key);
    return k ? parent->NextSibling(k) : nullptr;
}

std::unique_ptr<QElement> NewContainer(const char* empty) { return ParseElement(empty, 2); }

void AddText(QElement& parent, std::string_view text, int64_t integer = 0) {
    parent.AppendText(text.data(), static_cast<int>(text.size()), integer, false);
}

void SendBlob(TPieces& pieces, int32_t code, const QByteBuffer* blob) {
    if (!pieces.Owner()) return;
    TPiecesEvent event;
    event.code = code;
    event.flag = 1;
    event.argument = blob ? static_cast<int32_t>(blob->Length()) : 0;
    event.data = blob ? reinterpret_cast<const uint8_t*>(blob->Data()) : nullptr;
    pieces.Owner()->OnPiecesEvent(event);
}

// What a file looks like on disk, for the stored state.
struct FileRecord {
    platform::FileTime time;
    int64_t size = MissingFileSize;
};

// Syncs the file's data (whoever wrote it) and reads its time and size.
// False when an existing file cannot be examined.
bool RecordFile(TFileEntry& f, FileRecord& out) {
    f.m_file.Close();
    if (!platform::Exists(f.m_path)) return true;
    platform::File file;
    if (!file.Open(f.m_path, platform::OpenMode::ReadOnly)) return false;
    // The state about to be written calls these bytes done or written: they
    // must be on the device first.
    if (!file.Sync()) return false;
    if (!platform::LastWriteTime(f.m_path, &out.time)) return false;
    out.size = file.Size();
    return out.size >= 0;
}

bool FileMatches(const TFileEntry& f, const QElement* low, const QElement* high, const QElement* size) {
    const bool stored_time = low->GetInteger() != 0 || high->GetInteger() != 0;
    if (platform::Exists(f.m_path)) return stored_time && platform::FileSize(f.m_path) == size->GetInteger();
    return !stored_time && size->GetInteger() == MissingFileSize;
}

// Checks the stored files against the disk; collects the priorities to
// apply once everything matched.
bool CheckFiles(TPieces& pieces, const QElement& root, std::vector<int32_t>& priorities) {
    priorities.assign(pieces.FileCount(), TFileEntry::PriorityDeselected - 1);
    for (size_t i = 0; i < pieces.FileCount(); ++i) {
        TFileEntry* f = pieces.File(i);
        if (!f || f->m_path.empty()) return false;
        f->m_file.Close();
        QElement* name = FindExact(&root, f->m_path);
        if (!name && f->m_temp_name && !f->m_final_path.empty()) name = FindExact(&root, f->m_final_path);
        if (!name) return false;
        QElement* low = root.NextSibling(name);
        QElement* high = low ? root.NextSibling(low) : nullptr;
        QElement* size = high ? root.NextSibling(high) : nullptr;
        if (!HasText(low, "Low") || !HasText(high, "High") || !HasText(size, "Size")) return false;
        if (!FileMatches(*f, low, high, size)) return false;
        QElement* priority = root.NextSibling(size);
        if (pieces.HasDigests() && HasText(priority, "Priority") && f->IsSelected() &&
            priority->GetInteger() >= -2 && priority->GetInteger() <= 2) {
            priorities[i] = static_cast<int32_t>(priority->GetInteger());
        }
    }
    return true;
}

bool RestoreBitfield(TPieces& pieces, const QElement& root) {
    const QElement* bits = ValueOf(&root, "BitField");
    const QElement* check = ValueOf(&root, "BitFieldSHA1");
    if (!bits || bits->IsContainer() || !check || check->IsContainer()) return false;
    const std::string_view bytes = bits->GetText();
    if (bytes.size() != pieces.Bitfield().ByteCount() || check->GetText().size() != InfoHashBytes) return false;
    const Sha1Digest digest = QSha1::Digest(bytes.data(), bytes.size());
    if (CRYPTO_memcmp(digest.data(), check->GetText().data(), digest.size()) != 0) return false;
    for (int64_t i = 0; i < pieces.PieceCount(); ++i) {
        const bool done = (static_cast<uint8_t>(bytes[static_cast<size_t>(i / 8)]) & (0x80 >> (i % 8))) != 0;
        pieces.SetPieceDone(i, done);
    }
    return true;
}

// Whether hashing the piece's first `prefix` bytes on disk gives the stored
// state's intermediate hash and length (the message block is scratch).
bool PrefixMatchesDisk(TPieces& pieces, int64_t index, const uint8_t* stored, int32_t prefix) {
    constexpr size_t HashAndLength = 28;
    constexpr int32_t ReadUnit = 1 << 20;
    uint8_t state[TSha1State::Size];
    TSha1State::Reset(state);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(prefix, ReadUnit)));
    for (int32_t at = 0; at < prefix;) {
        const int32_t want = std::min(prefix - at, ReadUnit);
        if (pieces.ReadPieceRange(index, buffer.data(), want, at) != want) return false;
        TSha1State::Update(state, buffer.data(), static_cast<size_t>(want));
        at += want;
    }
    return std::memcmp(state, stored, HashAndLength) == 0;
}

// One "PieceStatus" element; false passes it over.
bool RestorePartial(TPieces& pieces, const QElement& entry) {
    if (entry.GetType() != ElementType::Dictionary) return false;
    const QElement* index_key = entry.ChildAt(0);
    if (!HasText(index_key, "Index")) return false;
    const int64_t index = index_key->GetInteger();
    if (!pieces.IsPieceValid(index) || pieces.IsPieceDone(index)) return false;
    const QElement* part = entry.ChildAt(1);
    const QElement* status = entry.ChildAt(2);
    const QElement* state = entry.ChildAt(3);
    const QElement* crc = FindExact(&entry, "CRC32");
    if (!HasText(part, "Part") || part->GetInteger() <= 0 || !HasText(status, "Status") || !state ||
        state->IsContainer() || state->GetText().size() < TSha1State::Size || !crc) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(state->GetText().data());
    if (static_cast<int64_t>(TResumeCodec::StateChecksum(static_cast<int32_t>(index), bytes)) != crc->GetInteger()) {
        return false;
    }
    TPiece& piece = *pieces.Piece(index);
    const int64_t prefix = part->GetInteger();
    // The prefix must be whole flush units inside the piece, and the state
    // must describe exactly that many hashed bytes.
    if (prefix >= piece.Size() || prefix % piece.FlushUnit() != 0 || !TSha1State::IsUsable(bytes) ||
        TSha1State::LengthBytes(bytes) != static_cast<uint64_t>(prefix)) {
        pieces.ResetPiece(index);
        return false;
    }
    // The files may have changed since the state was saved (their size is
    // all that is compared): a state that does not describe the bytes on
    // disk would let the piece pass its check over a wrong prefix.
    if (!PrefixMatchesDisk(pieces, index, bytes, static_cast<int32_t>(prefix))) {
        pieces.ResetPiece(index);
        return false;
    }
    if (!piece.RestorePrefix(static_cast<int32_t>(prefix), bytes)) {
        pieces.ResetPiece(index);
        return false;
    }
    pieces.AddPartialPiece(static_cast<int32_t>(index));
    return true;
}

}  // namespace

uint32_t TResumeCodec::StateChecksum(int32_t index, const uint8_t* state) {
    return static_cast<uint32_t>(
        adler32(static_cast<uLong>(static_cast<uint32_t>(index)), state, static_cast<uInt>(TSha1State::Size)));
}

bool TResumeCodec::SavePieceState(TPieces& pieces) {
    SendBlob(pieces, PiecesEventCode::PieceStateSaved, nullptr);
    if (pieces.FileCount() == 0 || pieces.PieceCount() <= 0) return false;
    auto root = NewContainer("de");
    if (!root) return false;
    if (pieces.InfoHash().size() == InfoHashBytes) {
        AddText(*root, "infohash");
        AddText(*root, pieces.InfoHash());
    }
    for (size_t i = 0; i < pieces.FileCount(); ++i) {
        TFileEntry* f = pieces.File(i);
        FileRecord record;
        if (!f || f->m_path.empty() || !RecordFile(*f, record)) return false;
        AddText(*root, f->m_path);
        AddText(*root, "Low", record.time.low);
        AddText(*root, "High", record.time.high);
        AddText(*root, "Size", record.size);
        AddText(*root, "Priority", f->m_priority);
    }
    auto list = NewContainer("le");
    for (int64_t i = 0; i < pieces.PieceCount(); ++i) {
        TPiece* piece = pieces.Piece(i);
        if (!piece || pieces.IsPieceDone(i) || piece->WrittenPrefix() <= 0 || !piece->HashState()) continue;
        auto entry = NewContainer("de");
        AddText(*entry, "Index", i);
        AddText(*entry, "Part", piece->WrittenPrefix());
        AddText(*entry, "Status");
        AddText(*entry, std::string_view(reinterpret_cast<const char*>(piece->HashState()), TSha1State::Size));
        AddText(*entry, "CRC32", StateChecksum(static_cast<int32_t>(i), piece->HashState()));
        list->Append(entry.release());
    }
    AddText(*root, "PieceStatus");
    root->Append(list.release());
    const auto& bytes = pieces.Bitfield().Bytes();
    const std::string_view bits(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    AddText(*root, "BitField");
    AddText(*root, bits);
    const Sha1Digest digest = QSha1::Digest(bits.data(), bits.size());
    AddText(*root, "BitFieldSHA1");
    AddText(*root, std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
    QByteBuffer out;
    if (!WriteElement(root.get(), out)) return false;
    SendBlob(pieces, PiecesEventCode::PieceStateSaved, &out);
    return true;
}

bool TResumeCodec::LoadPieceState(TPieces& pieces) {
    const std::string& blob = pieces.PieceStateBlob();
    if (pieces.FileCount() == 0 || blob.empty() || pieces.InfoHash().size() != InfoHashBytes) return false;
    auto root = ParseElement(blob);
    if (!root || root->GetType() != ElementType::Dictionary) return false;
    if (const QElement* hash = ValueOf(root.get(), "infohash")) {
        if (!hash->IsContainer() && hash->GetText().size() == InfoHashBytes && hash->GetText() != pieces.InfoHash()) {
            return false;
        }
    }
    std::vector<int32_t> priorities;
    if (!CheckFiles(pieces, *root, priorities)) return false;
    if (!RestoreBitfield(pieces, *root)) return false;
    for (size_t i = 0; i < priorities.size(); ++i) {
        if (priorities[i] >= -2) pieces.File(i)->m_priority = priorities[i];
    }
    const QElement* list = ValueOf(root.get(), "PieceStatus");
    if (list && list->GetType() == ElementType::List) {
        for (int k = 0; k < list->GetCount(); ++k) RestorePartial(pieces, *list->ChildAt(k));
    }
    return true;
}

bool TResumeCodec::SaveSelectionList(TPieces& pieces) {
    auto list = NewContainer("le");
    if (!list || pieces.FileCount() == 0) return false;
    for (size_t i = 0; i < pieces.FileCount(); ++i) {
        const TFileEntry* f = pieces.File(i);
        AddText(*list, f->m_display_name, f->IsSelected() ? 0 : 1);
        list->Append(NewContainer("de").release());
    }
    QByteBuffer out;
    if (!WriteElement(list.get(), out)) return false;
    SendBlob(pieces, PiecesEventCode::SelectionSaved, &out);
    return true;
}

void TResumeCodec::ApplySelectionList(TPieces& pieces) {
    auto list = ParseElement(pieces.SelectionBlob());
    if (!list || list->GetType() != ElementType::List || list->GetCount() == 0) return;
    pieces.SelectAll(true);
    std::vector<bool> marked(pieces.FileCount(), false);
    bool any = false;
    for (int k = 0; k < list->GetCount(); k += 2) {
        const QElement* name = list->ChildAt(k);
        if (!name || name->IsContainer() || name->GetInteger() == 0) continue;
        const TFileEntry* f = pieces.FindFileByName(std::string(name->GetText()));
        if (!f) continue;
        marked[static_cast<size_t>(f->m_index)] = true;
        any = true;
    }
    if (!any) {
        pieces.SelectAll(false);
        return;
    }
    for (size_t i = 0; i < marked.size(); ++i) {
        if (!marked[i]) pieces.SelectFile(static_cast<int32_t>(i), false);
    }
}

}  // namespace engine
