// input_file.h - reading a file the user names as input (areas files,
// truth files) in one piece.
//
// Only regular files are read. A FIFO blocks open() until a writer comes
// and read() until it writes, for ever if none does; a device may never
// end. Neither is ever a real areas or truth file, so both are refused with
// a message before anything waits on them. Standard input ("-", where a
// command takes it) is read by its callers, not here.
#ifndef TARVOCOIL_HOST_INPUT_FILE_H
#define TARVOCOIL_HOST_INPUT_FILE_H

#include <cstddef>
#include <limits>
#include <string>

namespace tarvotool {

// The bytes of the regular file `path`; `what` ("areas file") names it in
// messages. Throws ToolError when the file cannot be opened or read, is
// not a regular file, or holds more than `maxBytes`.
std::string ReadInputFile(const std::string& path, const std::string& what,
                          std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

}  // namespace tarvotool

#endif
