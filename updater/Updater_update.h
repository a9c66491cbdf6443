#pragma once
// The steps of a firmware update that other flows share: checking that an image
// belongs to the connected module, and the loader and firmware phases of the
// upgrade entity conversation.
#include <cstdint>

#include "app/UpdaterDisplayInterface.h"
#include "lib/common/aError.h"
#include "lib/object/Module.h"
#include "updater/BirdFile.h"

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image, Corvane::Velmarine::Module& module,
                        uint32_t serialNumber);
aErr _transfer_loader(UpdaterDisplayInterface& display, Corvane::Velmarine::Module& module, BirdFile& image);
aErr _transfer_firmware(UpdaterDisplayInterface& display, Corvane::Velmarine::Module& module, BirdFile& image,
                        bool throughRouter, bool ueiBytes);
