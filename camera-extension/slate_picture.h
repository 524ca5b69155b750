#pragma once

#include <string>

#include "camera-extension/framework/framework.h"

namespace vsc::cam {

// The waiting slate as a picture the pump can send; none when drawing failed.
PictureRef renderSlatePicture(const std::string& title, const std::string& subtitle);

// The same, drawn by a child process running `program` with the arguments
// "--draw-slate", title and subtitle (see drawSlateTo): the drawing libraries
// then never become resident in this long-lived process, some 7 MB. Drawn
// here when the child cannot give the picture.
PictureRef renderSlatePictureApart(const std::string& program, const std::string& title,
                                   const std::string& subtitle);

// The child's side: draws the slate and writes its NV12 bytes to fd. False
// when drawing or writing failed.
bool drawSlateTo(int fd, const std::string& title, const std::string& subtitle);

}  // namespace vsc::cam
