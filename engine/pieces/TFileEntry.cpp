#include "engine/pieces/TFileEntry.h"

#include "platform/File.h"

namespace engine {

void TFileEntry::ApplyTempName() {
    if (m_temp_name || m_path.empty() || platform::Exists(m_path)) return;
    m_final_path = m_path;
    m_path += TempExtension;
    m_temp_name = true;
}

bool TFileEntry::FinishTempName() {
    if (!m_temp_name || m_final_path.empty() || !platform::Exists(m_path)) return false;
    m_file.Close();
    {
        // The rename is the commit point: whatever is under the final name
        // must already be on the device.
        platform::File sync;
        if (!sync.Open(m_path, platform::OpenMode::ReadOnly) || !sync.Sync()) return false;
    }
    if (!platform::RenameNoReplace(m_path, m_final_path)) return false;
    m_path = m_final_path;
    m_final_path.clear();
    m_temp_name = false;
    return true;
}

bool TFileEntry::SetReadOnlyAttribute(const std::string& path, bool read_only) {
    if (!platform::Exists(path)) return false;
    return platform::SetReadOnly(path, read_only);
}

}  // namespace engine
