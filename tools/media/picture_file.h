// picture_file.h - one picture to a PNG or JPEG file.
#ifndef TARVOCOIL_TOOLS_MEDIA_PICTURE_FILE_H
#define TARVOCOIL_TOOLS_MEDIA_PICTURE_FILE_H

#include <string>

#include "host/canvas.h"

namespace tarvotool {

// The format follows the file name: .jpg/.jpeg gives JPEG, .png (or no
// extension) PNG; any other extension is refused before anything is
// written. Throws ToolError.
void WritePicture(const std::string& path, const BgrImage& image);
void WritePng(const std::string& path, const BgrImage& image);

// Throws ToolError unless WritePicture can write this name.
void CheckPictureName(const std::string& path);

}  // namespace tarvotool

#endif
