// common.h - error type and warnings shared by the tool's parts.
#ifndef TARVOCOIL_TOOLS_COMMON_H
#define TARVOCOIL_TOOLS_COMMON_H

#include <cstdio>
#include <stdexcept>
#include <string>

namespace tarvotool {

// A failure the user can act on. main() prints the message once, after
// "tarvocoil: ", and exits non-zero.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline void Warn(const std::string& message) {
    std::fprintf(stderr, "tarvocoil: warning: %s\n", message.c_str());
}

}  // namespace tarvotool

#endif
