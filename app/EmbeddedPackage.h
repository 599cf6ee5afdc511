#pragma once
// The package description chosen at build time (CMake cache variable
// TIDEWELL_PACKAGE). tools/slotgen generates the definitions from the manifest.

#include <span>

#include "app/ResourceModule.h"

namespace app {

// The configuration-slot block, SlotCount × SlotSize bytes.
std::span<const unsigned char> BuiltInSlotBlock();
const ResourceModule* BuiltInModule();
// The product title: caption of every message box.
const char* BuiltInProductTitle();
// Host of the rendezvous server the engine's UDP service talks to.
const char* BuiltInRendezvousHost();
// Its UDP port (82 unless the manifest names another).
int BuiltInRendezvousPort();

}  // namespace app
