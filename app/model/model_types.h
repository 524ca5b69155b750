#pragma once

// The value types the model publishes, from the subsystems that own them.
#include "app/audio/audio_device.h"
#include "app/audio/audio_driver_state.h"
#include "app/camera/camera_extension_state.h"
#include "app/discovery/pcr_entry.h"
