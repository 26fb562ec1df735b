// What evt-replay reads and writes on the file system: the logs under a
// folder, and the timeline, which must never land on a log.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "evt-replay/replay.h"

namespace {

// Enough of a file's start to tell whether it is a log.
constexpr size_t kSignatureBytes = 8;

// Whether a file name ends as a saved log's does, in any case, as Windows
// writes them (SysEvent.Evt).
bool NamesALog(const char* name)
{
    const size_t length = std::strlen(name);
    const auto endsWith = [&](const char* tail) {
        const size_t size = std::strlen(tail);
        return length > size && strcasecmp(name + length - size, tail) == 0;
    };
    return endsWith(".evt") || endsWith(".evtx");
}

// Appends the logs under `folder` to *found; symbolic links met on the way
// are not followed, so a link back up the tree cannot loop.
void CollectLogs(const std::string& folder, std::vector<std::string>* found, std::vector<std::string>* troubles)
{
    DIR* directory = opendir(folder.c_str());
    if (!directory) {
        troubles->push_back(folder + ": " + std::strerror(errno));
        return;
    }
    while (const dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const std::string path = folder + (folder.back() == '/' ? "" : "/") + entry->d_name;
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0)
            continue;
        if (S_ISDIR(status.st_mode))
            CollectLogs(path, found, troubles);
        else if (!S_ISLNK(status.st_mode) && NamesALog(entry->d_name))
            found->push_back(path);
    }
    closedir(directory);
}

// Whether two names are one file: the same name, or the same device and inode.
bool SameFile(const std::string& a, const struct stat* aStatus, const std::string& b)
{
    if (a == b)
        return true;
    struct stat bStatus {};
    return aStatus && stat(b.c_str(), &bStatus) == 0 && aStatus->st_dev == bStatus.st_dev &&
           aStatus->st_ino == bStatus.st_ino;
}

}  // namespace

bool IsFolder(const std::string& path)
{
    struct stat status {};
    return path != "-" && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<std::string> ExpandInputs(char** names, int count, bool recursive, std::vector<std::string>* troubles)
{
    std::vector<std::string> inputs;
    for (int i = 0; i < count; ++i) {
        if (!recursive || !IsFolder(names[i])) {
            inputs.emplace_back(names[i]);
            continue;
        }
        std::vector<std::string> found;
        CollectLogs(names[i], &found, troubles);
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    return inputs;
}

std::string TimelineHazard(const std::string& path, const std::vector<std::string>& inputs)
{
    struct stat status {};
    const bool exists = stat(path.c_str(), &status) == 0;
    for (const std::string& input : inputs) {
        if (input != "-" && SameFile(path, exists ? &status : nullptr, input))
            return "it is one of the logs read";
    }
    if (!exists || !S_ISREG(status.st_mode))
        return "";
    uint8_t head[kSignatureBytes] = {};
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return "";
    const ssize_t got = read(file, head, sizeof head);
    close(file);
    return got > 0 && SavedLogKindOf(head, static_cast<size_t>(got)) != SavedLogKind::kNone ? "it holds an event log" : "";
}

bool BeginReplacing(const std::string& path, PendingFile* file, std::string* error)
{
    // A device, a pipe or a terminal is written as it stands: a rename would
    // put a regular file in its place. A link is followed, so that the file
    // it names is replaced and the link kept.
    char* resolved = realpath(path.c_str(), nullptr);
    const std::string target = resolved ? resolved : path;
    std::free(resolved);
    struct stat status {};
    if (stat(target.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        *file = PendingFile{std::fopen(target.c_str(), "wb"), "", target};
        if (!file->out)
            *error = std::strerror(errno);
        return file->out != nullptr;
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temporary = folder + "." + name + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the picture is as readable as any file the user writes.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    *file = PendingFile{fdopen(fd, "wb"), temporary, target};
    if (!file->out) {
        *error = std::strerror(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool FinishReplacing(PendingFile* file, std::string* error)
{
    // A failed write leaves its errno; a failed close or rename sets its own.
    const int writeErrno = errno;
    const bool written = !std::ferror(file->out);
    const bool closed = std::fclose(file->out) == 0;
    file->out = nullptr;
    const bool inPlace = file->temporary.empty();
    const bool renamed = written && closed && (inPlace || std::rename(file->temporary.c_str(), file->path.c_str()) == 0);
    if (!renamed) {
        *error = std::strerror(written ? errno : writeErrno);
        if (!inPlace)
            unlink(file->temporary.c_str());
    }
    return renamed;
}
