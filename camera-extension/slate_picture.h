#pragma once

#include <string>

#include "camera-extension/framework/framework.h"

namespace vsc::cam {

// The waiting slate as a picture the pump can send; none when drawing failed.
PictureRef renderSlatePicture(const std::string& title, const std::string& subtitle);

}  // namespace vsc::cam
