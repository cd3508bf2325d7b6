#include "tools/lkplay/capture_paths.h"

#include "tools/lkplay/options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lkplay {

namespace {

bool EndsWithWav(const std::string& path) {
    if (path.size() < 4)
        return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return tail == ".wav";
}

bool StatInput(const std::string& input, struct stat* st) {
    return input == "-" ? fstat(STDIN_FILENO, st) == 0 : stat(input.c_str(), st) == 0;
}

} // namespace

std::string CaptureNameFor(const std::string& base, size_t index, size_t count, bool dsd) {
    std::string path = CapturePathFor(base, index, count);
    if (dsd && EndsWithWav(path))
        path.replace(path.size() - 4, 4, ".dsf");
    return path;
}

CaptureCheck CheckCapturePath(const std::string& capture, const std::vector<std::string>& inputs,
                              bool force) {
    CaptureCheck check;
    struct stat target {};
    const bool exists = stat(capture.c_str(), &target) == 0;
    if (exists) {
        for (const std::string& input : inputs) {
            struct stat st {};
            if (StatInput(input, &st) && st.st_dev == target.st_dev && st.st_ino == target.st_ino) {
                check.code = kExitCaptureIsInput;
                check.message = "the capture file " + capture + " is the input file " +
                                (input == "-" ? std::string("on standard input") : input) +
                                ": refusing to overwrite it";
                return check;
            }
        }
        if (S_ISDIR(target.st_mode)) {
            check.code = kExitCaptureUncreatable;
            check.message = "cannot create the capture file " + capture + ": it is a directory";
            return check;
        }
        if (!force) {
            check.code = kExitCaptureExists;
            check.message = "the capture file " + capture + " exists (--force or -y replaces it)";
            return check;
        }
    }
    // Try it: open without truncating an existing file, or create and remove a new one.
    const int fd = exists ? open(capture.c_str(), O_WRONLY | O_CLOEXEC)
                          : open(capture.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        check.code = kExitCaptureUncreatable;
        check.message = "cannot create the capture file " + capture + ": " + std::strerror(errno);
        return check;
    }
    close(fd);
    if (!exists)
        unlink(capture.c_str());
    return check;
}

} // namespace lkplay
