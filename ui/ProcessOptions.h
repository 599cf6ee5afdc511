#pragma once
// The user's choices that outlive the settings dialog: the download speed
// limit, the shut-down-when-finished flag and the P2P flag. One instance per
// process, owned by the main window and written on the UI thread; the
// settings dialog edits it and the window hands the values to the controller.

#include <cstdint>

namespace ui {

struct ProcessOptions {
    int32_t speed_limit_kib = 0;  // KiB/s, 0 = no limit
    bool shutdown_when_finished = false;
    bool p2p_enabled = true;
};

}  // namespace ui
