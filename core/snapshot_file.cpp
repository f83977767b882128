#include "core/snapshot_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace korvex {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

/// Closes a descriptor when it goes out of scope, unless it was closed on purpose.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    /// Closes now and returns 0, or the error close reported.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void writeAll(int fd, std::span<const std::byte> bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno, "could not write " + path);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

}  // namespace

void writeFileAtomically(const std::string& path, std::span<const std::byte> bytes) {
    const std::string directory = directoryOf(path);
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    const std::string kept = "; the previous " + path + " is kept";
    {
        Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (file.get() < 0) {
            fail(errno, "could not create " + temporary + " beside " + path + kept);
        }
        try {
            writeAll(file.get(), bytes, temporary);
            if (::fsync(file.get()) != 0) {
                fail(errno, "could not flush " + temporary + " to the disk");
            }
            if (const int error = file.close(); error != 0) {
                fail(error, "could not close " + temporary);
            }
            if (::rename(temporary.c_str(), path.c_str()) != 0) {
                fail(errno, "could not rename " + temporary + " to " + path);
            }
        } catch (const std::system_error& error) {
            ::unlink(temporary.c_str());
            throw std::system_error(error.code(), error.what() + kept);
        }
    }
    // The rename itself lasts only once the directory's entry is on the disk.
    Descriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0 || ::fsync(folder.get()) != 0) {
        fail(errno, "could not flush the directory " + directory + " after writing " + path);
    }
}

std::vector<std::byte> readWholeFile(const std::string& path) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
        fail(errno, "could not open " + path);
    }
    std::vector<std::byte> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(file.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno, "could not read " + path);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    // A file that shrank meanwhile is read as far as it goes: its checksum tells.
    bytes.resize(done);
    return bytes;
}

}  // namespace korvex
