// serve_assets.h - the service's page (web/serve/), compiled into the tool
// so that the program needs no files beside it.
#ifndef TARVOCOIL_TOOLS_SERVE_SERVE_ASSETS_H
#define TARVOCOIL_TOOLS_SERVE_SERVE_ASSETS_H

#include <cstddef>

namespace tarvotool::servepage {

struct EmbeddedFile {
    const char* name;  // relative to web/serve/, e.g. "serve.js"
    const unsigned char* data;
    std::size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const std::size_t kEmbeddedFileCount;

}  // namespace tarvotool::servepage

#endif
