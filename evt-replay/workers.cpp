// Inputs read in parallel by forked worker processes. The program's scan
// keeps its table in process-wide variables, so a worker is a process, not a
// thread: each reads one input at a time, the next that none has taken,
// and sends back what its output needs; the main process hands each result
// on in argument order, so the output is what one reader gives.

#include <poll.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <utility>
#include <vector>

#include "evt-replay/replay.h"

namespace {

// --- Results as bytes: lengths and numbers in the host's order, since both
// ends are this one program on this one machine.

void PutNumber(std::string* out, uint64_t value)
{
    out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

void PutText(std::string* out, const std::string& text)
{
    PutNumber(out, text.size());
    *out += text;
}

// Reads back what PutNumber and PutText wrote; every read is checked against
// the end, so a short message gives false rather than garbage.
struct Reader {
    const std::string& bytes;
    size_t at = 0;
    bool sound = true;

    uint64_t Number()
    {
        uint64_t value = 0;
        if (bytes.size() - at < sizeof value) {
            sound = false;
            return 0;
        }
        std::memcpy(&value, bytes.data() + at, sizeof value);
        at += sizeof value;
        return value;
    }
    std::string Text()
    {
        const uint64_t size = Number();
        if (!sound || bytes.size() - at < size) {
            sound = false;
            return {};
        }
        std::string text = bytes.substr(at, size);
        at += size;
        return text;
    }
};

std::string Serialize(const InputResult& result)
{
    std::string out;
    for (const std::string* text : {&result.error, &result.notes, &result.output})
        PutText(&out, *text);
    const ReplayFile& file = result.file;
    for (const std::string* text : {&file.path, &file.host, &file.zoneStated, &file.zoneUsed, &file.title})
        PutText(&out, *text);
    PutNumber(&out, static_cast<uint64_t>(file.textOffset));
    for (uint32_t count : {file.skipped.chunks, file.skipped.records, file.skipped.recovered})
        PutNumber(&out, count);
    for (uint64_t value : {uint64_t{file.skipped.cut}, uint64_t{file.skipped.newestMissing},
                           uint64_t{file.skipped.chunksCounted}, uint64_t{file.skipped.chunksMissing},
                           file.skipped.recordsMissing, uint64_t{file.systemLog}, uint64_t{file.anyRecord},
                           static_cast<uint64_t>(file.logEnd)})
        PutNumber(&out, value);
    PutNumber(&out, file.cycles.size());
    for (const ReplayCycle& cycle : file.cycles) {
        for (const std::string& text : cycle.row)
            PutText(&out, text);
        PutNumber(&out, static_cast<uint64_t>(cycle.start));
        PutNumber(&out, static_cast<uint64_t>(cycle.stop));
        PutNumber(&out, static_cast<uint64_t>(cycle.state));
        PutText(&out, cycle.host);
        PutNumber(&out, static_cast<uint64_t>(cycle.diedAfter));
    }
    return out;
}

bool Deserialize(const std::string& bytes, InputResult* result)
{
    Reader in{bytes};
    for (std::string* text : {&result->error, &result->notes, &result->output})
        *text = in.Text();
    ReplayFile& file = result->file;
    for (std::string* text : {&file.path, &file.host, &file.zoneStated, &file.zoneUsed, &file.title})
        *text = in.Text();
    file.textOffset = static_cast<int64_t>(in.Number());
    for (uint32_t* count : {&file.skipped.chunks, &file.skipped.records, &file.skipped.recovered})
        *count = static_cast<uint32_t>(in.Number());
    file.skipped.cut = in.Number() != 0;
    file.skipped.newestMissing = in.Number() != 0;
    file.skipped.chunksCounted = static_cast<uint32_t>(in.Number());
    file.skipped.chunksMissing = static_cast<uint32_t>(in.Number());
    file.skipped.recordsMissing = in.Number();
    file.systemLog = in.Number() != 0;
    file.anyRecord = in.Number() != 0;
    file.logEnd = static_cast<int64_t>(in.Number());
    const uint64_t cycles = in.Number();
    for (uint64_t i = 0; in.sound && i < cycles; ++i) {
        ReplayCycle cycle;
        for (std::string& text : cycle.row)
            text = in.Text();
        cycle.start = static_cast<int64_t>(in.Number());
        cycle.stop = static_cast<int64_t>(in.Number());
        cycle.state = static_cast<CycleState>(in.Number());
        cycle.host = in.Text();
        cycle.diedAfter = static_cast<int64_t>(in.Number());
        file.cycles.push_back(std::move(cycle));
    }
    return in.sound && in.at == bytes.size();
}

// --- Whole messages over pipes.

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size)
{
    char* at = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A message is its input's index, its length, then its bytes.
bool SendMessage(int fd, uint64_t index, const std::string& bytes)
{
    const uint64_t head[2] = {index, bytes.size()};
    return WriteAll(fd, head, sizeof head) && WriteAll(fd, bytes.data(), bytes.size());
}

bool ReceiveMessage(int fd, uint64_t* index, std::string* bytes)
{
    uint64_t head[2];
    if (!ReadAll(fd, head, sizeof head))
        return false;
    *index = head[0];
    bytes->resize(head[1]);
    return ReadAll(fd, bytes->data(), bytes->size());
}

struct Worker {
    pid_t pid = -1;
    int results = -1;  // the main process reads the worker's results here
    bool open = true;  // until the worker has said all it will
};

// The next input to read, shared by every worker: each takes the next one
// as it comes free, so that a long log holds up no other, and the main
// process need not hand them out.
std::atomic<uint64_t>* nextInput = nullptr;

// A worker's life: take the next input, read it, send its result; until none is left.
[[noreturn]] void WorkerLoop(size_t count, int results, InputReader read)
{
    for (uint64_t index; (index = nextInput->fetch_add(1)) < count;) {
        InputResult result;
        read(static_cast<size_t>(index), &result);
        if (!SendMessage(results, index, Serialize(result)))
            break;
    }
    _exit(0);
}

// Starts a worker; false, with errno set, when no pipe or process can be had.
bool StartWorker(Worker* worker, const std::vector<Worker>& started, size_t count, InputReader read)
{
    int fromWorker[2];
    if (pipe(fromWorker) != 0)
        return false;
    // Buffered output would otherwise be written once more by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fromWorker[0]);
        close(fromWorker[1]);
        return false;
    }
    if (pid == 0) {
        for (const Worker& other : started)
            close(other.results);
        close(fromWorker[0]);
        WorkerLoop(count, fromWorker[1], read);
    }
    close(fromWorker[1]);
    *worker = Worker{pid, fromWorker[0], true};
    return true;
}

// Waits for every worker to end, ending them first when `abandon`.
void StopWorkers(std::vector<Worker>* workers, bool abandon)
{
    for (Worker& worker : *workers) {
        if (abandon)
            kill(worker.pid, SIGTERM);
        close(worker.results);
        while (waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    workers->clear();
}

}  // namespace

int WorkersForThisMachine()
{
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? static_cast<int>(cores) : 1;
}

bool ReadInputs(size_t count, int workerCount, InputReader read, ResultSink sink, std::string* error)
{
    if (workerCount <= 1 || count <= 1) {
        for (size_t i = 0; i < count; ++i) {
            InputResult result;
            read(i, &result);
            if (!sink(i, std::move(result)))
                return true;
        }
        return true;
    }
    void* shared = mmap(nullptr, sizeof(std::atomic<uint64_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        *error = std::string("cannot share the inputs among workers: ") + std::strerror(errno);
        return false;
    }
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "the counter is shared between processes");
    nextInput = new (shared) std::atomic<uint64_t>(0);
    std::vector<Worker> workers;
    const size_t wanted = std::min(count, static_cast<size_t>(workerCount));
    while (workers.size() < wanted) {
        Worker worker;
        if (!StartWorker(&worker, workers, count, read))
            break;  // fewer workers than asked for still read everything
        workers.push_back(worker);
    }
    bool sound = !workers.empty();
    if (!sound)
        *error = std::string("cannot start a worker: ") + std::strerror(errno);
    size_t emitted = 0;  // the next input whose result goes to the sink
    std::map<size_t, InputResult> waiting;
    bool stopped = false;
    while (sound && !stopped && emitted < count) {
        std::vector<pollfd> polled;
        std::vector<Worker*> owners;
        for (Worker& worker : workers) {
            if (worker.open) {
                polled.push_back({worker.results, POLLIN, 0});
                owners.push_back(&worker);
            }
        }
        if (polled.empty() || (poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR)) {
            *error = "the workers stopped before every file was read";
            sound = false;
            break;
        }
        for (size_t w = 0; w < polled.size() && sound; ++w) {
            if (!(polled[w].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Worker& worker = *owners[w];
            uint64_t index;
            std::string bytes;
            InputResult result;
            if (!ReceiveMessage(worker.results, &index, &bytes)) {
                worker.open = false;  // done, or died: the count of results tells
                continue;
            }
            if (index >= count || !Deserialize(bytes, &result)) {
                *error = "a worker sent what no worker writes";
                sound = false;
                break;
            }
            waiting.emplace(static_cast<size_t>(index), std::move(result));
        }
        for (auto ready = waiting.find(emitted); sound && ready != waiting.end(); ready = waiting.find(emitted)) {
            stopped = !sink(emitted, std::move(ready->second));
            waiting.erase(ready);
            ++emitted;
            if (stopped)
                break;
        }
    }
    StopWorkers(&workers, !sound || stopped);
    munmap(shared, sizeof(std::atomic<uint64_t>));
    nextInput = nullptr;
    return sound;
}
