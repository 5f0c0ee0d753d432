// edit_assets.h - the editor's page (web/editor/), compiled into the tool
// so that the program needs no files beside it.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_ASSETS_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_ASSETS_H

#include <cstddef>

namespace tarvotool {

struct EmbeddedFile {
    const char* name;  // relative to web/editor/, e.g. "editor.js"
    const unsigned char* data;
    std::size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const std::size_t kEmbeddedFileCount;

}  // namespace tarvotool

#endif
