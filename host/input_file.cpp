// input_file.cpp - regular files only, opened so that the open cannot block.
#include "host/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "host/errors.h"

namespace tarvotool {

namespace {

// Why a file that is not a regular file is refused.
std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "it is a directory";
    if (S_ISFIFO(mode)) return "it is a FIFO (named pipe), not a regular file";
    if (S_ISCHR(mode)) return "it is a character device, not a regular file";
    if (S_ISBLK(mode)) return "it is a block device, not a regular file";
    if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
    return "it is not a regular file";
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The stat() first spares devices an open() (which some answer with side
// effects); O_NONBLOCK keeps the open() of a FIFO put in the file's place
// meanwhile from waiting for a writer, and fstat() then sees what was
// opened. Reads block again as usual: a regular file always answers.
int OpenRegular(const std::string& path, const std::string& cannot) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) throw ToolError(cannot + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw ToolError(cannot + KindOf(st.st_mode));
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0 || fstat(file.get(), &st) != 0) throw ToolError(cannot + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw ToolError(cannot + KindOf(st.st_mode));
    const int flags = fcntl(file.get(), F_GETFL);
    if (flags < 0 || fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw ToolError(cannot + std::strerror(errno));
    return file.release();
}

}  // namespace

std::string ReadInputFile(const std::string& path, const std::string& what, std::size_t maxBytes) {
    const std::string cannot = "cannot read " + what + " '" + path + "': ";
    const FileDescriptor file(OpenRegular(path, cannot));
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(file.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ToolError(cannot + std::strerror(errno));
        if (n == 0) return text;
        // Bounded even for a regular file, which may grow while it is read.
        if (static_cast<std::size_t>(n) > maxBytes - text.size())
            throw ToolError(what + " '" + path + "' is larger than " + std::to_string(maxBytes >> 20) +
                            " MiB; refusing to read it");
        text.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace tarvotool
