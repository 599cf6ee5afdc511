#pragma once
// Which of the main window's buttons are shown and usable in each controller
// state. The four main buttons (start, pause, continue, install) share one
// place, and so do the two folder buttons; visibility decides which one the
// user sees. Pure logic: the window applies the result to its widgets.

namespace ui {

struct ButtonLook {
    bool visible = false;
    bool enabled = true;
    bool operator==(const ButtonLook&) const = default;
};

struct ButtonStates {
    ButtonLook start;
    ButtonLook pause;
    ButtonLook resume;  // "继续"
    ButtonLook install;
    ButtonLook change_folder{true, true};
    ButtonLook open_folder;
    bool operator==(const ButtonStates&) const = default;
};

// The look right after start-up: the pause button when an unfinished
// download continues by itself, else the start button.
ButtonStates InitialButtons(bool continued_at_start);

// Applies the table for `state` (the busy flag is the controller's
// not-enough-space flag). States without a row leave the buttons alone.
void ApplyButtonTable(int state, bool busy, bool continued_at_start, ButtonStates& buttons);

}  // namespace ui
