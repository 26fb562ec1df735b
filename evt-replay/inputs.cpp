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

// Appends the logs under `folder` to *found. Only files are read: a FIFO,
// a socket or a device met on the way could block the run or never end, so
// it is passed over with a note, as grep -r does. Symbolic links are followed
// only with kFollowLinks; `above` holds the folders on the way down, so that
// a link back up the tree is noted and not walked.
void CollectLogs(const std::string& folder, Recursion recursion, std::vector<std::string>* above,
                 std::vector<std::string>* found, WalkNotes* notes)
{
    DIR* directory = opendir(folder.c_str());
    if (!directory) {
        notes->troubles.push_back(Printable(folder) + ": " + std::strerror(errno));
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    closedir(directory);
    for (const std::string& name : names) {
        const std::string path = folder + (folder.back() == '/' ? "" : "/") + name;
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0)
            continue;
        if (S_ISLNK(status.st_mode)) {
            if (recursion != Recursion::kFollowLinks) {
                ++notes->linksPassed;
                continue;
            }
            if (stat(path.c_str(), &status) != 0) {
                if (NamesALog(name.c_str()))
                    notes->troubles.push_back(Printable(path) + ": " + std::strerror(errno));
                continue;
            }
        }
        if (S_ISDIR(status.st_mode)) {
            const std::string identity = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
            if (std::find(above->begin(), above->end(), identity) != above->end()) {
                notes->notes.push_back(Printable(path) + ": recursive directory loop, not walked");
                continue;
            }
            above->push_back(identity);
            CollectLogs(path, recursion, above, found, notes);
            above->pop_back();
        } else if (NamesALog(name.c_str())) {
            if (S_ISREG(status.st_mode))
                found->push_back(path);
            else
                notes->notes.push_back(Printable(path) + ": not a regular file (a FIFO, socket or device), passed over");
        }
    }
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

// The file a timeline at `path` lands in: a link is followed, so that the
// file it names is replaced and the link kept.
std::string ReplacedPath(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    const std::string target = resolved ? resolved : path;
    std::free(resolved);
    return target;
}

}  // namespace

bool IsFolder(const std::string& path)
{
    struct stat status {};
    return path != "-" && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<std::string> ExpandInputs(char** names, int count, Recursion recursion, WalkNotes* notes)
{
    std::vector<std::string> inputs;
    for (int i = 0; i < count; ++i) {
        struct stat status {};
        if (recursion == Recursion::kNone || !IsFolder(names[i]) || stat(names[i], &status) != 0) {
            inputs.emplace_back(names[i]);
            continue;
        }
        std::vector<std::string> found;
        std::vector<std::string> above{std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)};
        const int linksBefore = notes->linksPassed;
        CollectLogs(names[i], recursion, &above, &found, notes);
        if (found.empty()) {
            const int links = notes->linksPassed - linksBefore;
            notes->notes.push_back(Printable(names[i]) + ": no .evt or .evtx file found" +
                                   (links ? " (" + std::to_string(links) + (links == 1 ? " symbolic link" : " symbolic links") +
                                              " not followed; -R follows them)"
                                            : ""));
        }
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    return inputs;
}

std::string ReadOnceTwice(const std::vector<std::string>& inputs)
{
    std::vector<std::pair<dev_t, ino_t>> pipes;
    for (const std::string& input : inputs) {
        struct stat status {};
        const bool stdin = input == "-";
        if (stdin ? fstat(STDIN_FILENO, &status) != 0 : stat(input.c_str(), &status) != 0)
            continue;
        if (!stdin && !S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode))
            continue;
        // "-" twice is refused whatever standard input is, a terminal too.
        const auto identity = stdin && !S_ISFIFO(status.st_mode) ? std::make_pair(dev_t{0}, ino_t{0})
                                                                  : std::make_pair(status.st_dev, status.st_ino);
        if (std::find(pipes.begin(), pipes.end(), identity) != pipes.end())
            return input;
        pipes.push_back(identity);
    }
    return "";
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

std::string TimelineUnwritable(const std::string& path)
{
    const std::string target = ReplacedPath(path);
    struct stat status {};
    if (stat(target.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        if (S_ISDIR(status.st_mode))
            return std::strerror(EISDIR);
        return access(target.c_str(), W_OK) == 0 ? "" : std::strerror(errno);
    }
    // The picture is renamed into place: its folder must take a new name.
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    if (stat(folder.c_str(), &status) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(status.st_mode))
        return std::strerror(ENOTDIR);
    return access(folder.c_str(), W_OK | X_OK) == 0 ? "" : std::strerror(errno);
}

bool BeginReplacing(const std::string& path, PendingFile* file, std::string* error)
{
    // A device, a pipe or a terminal is written as it stands: a rename would
    // put a regular file in its place.
    const std::string target = ReplacedPath(path);
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
