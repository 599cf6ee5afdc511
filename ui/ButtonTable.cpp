#include "ui/ButtonTable.h"

namespace ui {

namespace {

void ShowOpenFolder(ButtonStates& b) {
    b.change_folder.visible = false;
    b.open_folder.visible = true;
}

void ShowOnlyInstall(ButtonStates& b, bool enabled) {
    b.start.visible = b.pause.visible = b.resume.visible = false;
    b.install = {true, enabled};
    ShowOpenFolder(b);
}

}  // namespace

ButtonStates InitialButtons(bool continued_at_start) {
    ButtonStates b;
    (continued_at_start ? b.pause : b.start).visible = true;
    return b;
}

void ApplyButtonTable(int state, bool busy, bool continued_at_start, ButtonStates& b) {
    switch (state) {
    case 0:
    // Ready follows the same rule: after a lack of space has disabled the
    // start button, the space coming back (or another folder being chosen)
    // must make it usable again.
    case 1:
        b.start.enabled = !busy;
        break;
    case 3:
        b.pause = {true, true};
        b.start.visible = false;
        b.change_folder.enabled = false;
        break;
    case 4:
    case 6:
        b.resume.visible = false;
        b.pause = {true, !busy};
        ShowOpenFolder(b);
        break;
    case 5:
        b.pause.visible = false;
        b.resume = {true, !busy};
        ShowOpenFolder(b);
        break;
    case 7:
        b.pause.enabled = b.resume.enabled = b.install.enabled = b.start.enabled = false;
        ShowOpenFolder(b);
        break;
    case 8:
    case 12:
        ShowOnlyInstall(b, true);
        break;
    case 9:
        (continued_at_start ? b.pause : b.start).enabled = false;
        break;
    case 10:
    case 11:
        ShowOnlyInstall(b, false);
        break;
    case 15:
    case 16:
        b.pause.enabled = false;
        b.change_folder.enabled = false;
        break;
    default:
        break;
    }
}

}  // namespace ui
