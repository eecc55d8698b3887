// Callbacks through which a link's readers hand what they read to the SDK core. They are part of
// the SDK's public types.
#pragma once

#include "LumoraTypes.h"
