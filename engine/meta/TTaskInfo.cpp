#include "engine/meta/TTaskInfo.h"

#include <cstring>
#include <memory>

#include "engine/base/QTMutex.h"
#include "engine/meta/Bencode.h"
#include "platform/File.h"
#include "platform/FileSync.h"

namespace engine {

namespace {

// Keys in file order.
constexpr const char* Keys[4] = {"bits", "part", "seeds", "torrent"};
// Blobs are read back in this order (the metainfo first).
constexpr TTaskInfo::Blob LoadOrder[4] = {TTaskInfo::Blob::Torrent, TTaskInfo::Blob::Part, TTaskInfo::Blob::Bits,
                                          TTaskInfo::Blob::Seeds};
// A value of 2 bytes or less cannot be a useful blob (at most "de" or "le").
constexpr size_t MinBlobBytes = 3;
// A task-information file holds a torrent and two small blobs; anything
// larger than this is not one.
constexpr size_t MaxFileBytes = size_t{256} << 20;

class OptionalLock {
public:
    explicit OptionalLock(QTMutex* lock) : m_lock(lock) {
        if (m_lock) m_lock->Lock();
    }
    ~OptionalLock() {
        if (m_lock) m_lock->Unlock();
    }
    OptionalLock(const OptionalLock&) = delete;
    OptionalLock& operator=(const OptionalLock&) = delete;

private:
    QTMutex* m_lock;
};

}  // namespace

void TTaskInfo::Set(Blob which, std::string bytes) {
    m_blobs[Index(which)] = std::move(bytes);
    m_dirty[Index(which)] = true;
}

bool TTaskInfo::AnyDirty() const { return m_dirty[0] || m_dirty[1] || m_dirty[2] || m_dirty[3]; }

bool TTaskInfo::Load(const std::string& path) {
    if (path.empty()) return false;
    std::string bytes;
    if (!platform::ReadWholeFile(path, &bytes, MaxFileBytes) || bytes.empty()) return false;
    OptionalLock lock(m_lock);
    auto root = ParseElement(bytes);
    if (!root || root->GetType() != ElementType::Dictionary) return false;
    for (Blob which : LoadOrder) {
        const QElement* value = root->FindValue(Keys[Index(which)]);
        if (value && !value->IsContainer() && value->GetText().size() >= MinBlobBytes) {
            m_blobs[Index(which)] = std::string(value->GetText());
        }
    }
    for (bool& d : m_dirty) d = false;
    return true;
}

std::string TTaskInfo::Encode() const {
    auto root = ParseElement("de", 2);
    for (int k = 0; k < 4; ++k) {
        if (m_blobs[k].empty()) continue;
        root->AppendText(Keys[k], static_cast<int>(std::strlen(Keys[k])), 0, false);
        root->AppendText(m_blobs[k].data(), static_cast<int>(m_blobs[k].size()), 0, false);
    }
    QByteBuffer out;
    if (!WriteElement(root.get(), out)) return {};
    return std::string(out.View());
}

bool TTaskInfo::Save(const std::string& path) {
    if (path.empty()) return false;
    OptionalLock lock(m_lock);
    if (!AnyDirty()) return true;
    const std::string bytes = Encode();
    if (bytes.empty() || !platform::ReplaceFileDurably(path, bytes)) return false;
    for (bool& d : m_dirty) d = false;
    return true;
}

}  // namespace engine
