#pragma once
// Whether standard output is a terminal: the headless front end then redraws
// its progress lines in place instead of printing them every few seconds.
// Thread-safe; no state.

namespace platform {

bool StandardOutputIsTerminal();

}  // namespace platform
