// Inputs read in parallel by forked worker processes. The program's scan
// keeps its table in process-wide variables, so a worker is a process, not a
// thread: each reads one input at a time, the next that none has taken,
// and sends back what its output needs; the main process hands each result
// on in argument order, so the output is what one reader gives.

#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
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
    PutText(&out, powerWanted ? PowerBytes(file.power) : "");
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
    const std::string power = in.Text();
    if (powerWanted && !PowerFromBytes(power, &file.power))
        return false;
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

// Reads up to `size` bytes; how many came before the end or an error.
size_t ReadAll(int fd, void* data, size_t size)
{
    char* at = static_cast<char*>(data);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, at + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

// A message is its input's index, its length, then its bytes; or, with
// kTaking for a length, word that the worker has taken that input.
constexpr uint64_t kTaking = ~uint64_t{0};

bool SendMessage(int fd, uint64_t index, const std::string& bytes)
{
    const uint64_t head[2] = {index, bytes.size()};
    return WriteAll(fd, head, sizeof head) && WriteAll(fd, bytes.data(), bytes.size());
}

bool SendTaking(int fd, uint64_t index)
{
    const uint64_t head[2] = {index, kTaking};
    return WriteAll(fd, head, sizeof head);
}

enum class Received { kResult, kTaking, kEnd, kShort };

Received ReceiveMessage(int fd, uint64_t* index, std::string* bytes)
{
    uint64_t head[2];
    const size_t got = ReadAll(fd, head, sizeof head);
    if (got != sizeof head)
        return got == 0 ? Received::kEnd : Received::kShort;
    *index = head[0];
    if (head[1] == kTaking)
        return Received::kTaking;
    bytes->resize(head[1]);
    return ReadAll(fd, bytes->data(), bytes->size()) == bytes->size() ? Received::kResult : Received::kShort;
}

constexpr int64_t kNoInput = -1;

struct Worker {
    pid_t pid = -1;
    int results = -1;  // the main process reads the worker's results here
    bool open = true;  // until the worker has said all it will
    int64_t reading = kNoInput;  // the input it has taken and not yet sent
    int64_t sent = kNoInput;     // the last input it sent
};

// The next input to read, shared by every worker: each takes the next one
// as it comes free, so that a long log holds up no other, and the main
// process need not hand them out.
std::atomic<uint64_t>* nextInput = nullptr;

// The workers' process IDs, for the signal handler: 0 where none runs.
// Sized before the first fork, so that the handler never sees it move.
std::vector<pid_t> workerIds;

// On SIGINT or SIGTERM, ends and reaps every worker before the main process
// ends by the same signal, so that no worker outlives it.
void EndWorkersAndDie(int signal)
{
    for (pid_t id : workerIds) {
        if (id > 0)
            kill(id, SIGKILL);
    }
    for (pid_t id : workerIds) {
        if (id > 0)
            waitpid(id, nullptr, 0);
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM};

// A worker's life: take the next input, say so, read it, send its result;
// until none is left.
[[noreturn]] void WorkerLoop(size_t count, int results, InputReader read)
{
    for (uint64_t index; (index = nextInput->fetch_add(1)) < count;) {
        if (!SendTaking(results, index))
            break;
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
    // Held back until the child has dropped the handler, which would kill its siblings.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int signal : kEndingSignals)
        sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &before);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        close(fromWorker[0]);
        close(fromWorker[1]);
        return false;
    }
    if (pid == 0) {
        for (int signal : kEndingSignals)
            std::signal(signal, SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        // Ends with the main process, however it ends, even before this line.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        for (const Worker& other : started)
            close(other.results);
        close(fromWorker[0]);
        WorkerLoop(count, fromWorker[1], read);
    }
    workerIds[started.size()] = pid;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(fromWorker[1]);
    *worker = Worker{pid, fromWorker[0], true};
    return true;
}

// How a worker that has ended did so, when not as it should: "" for exit status 0.
std::string WorkerEnd(int status)
{
    if (WIFSIGNALED(status))
        return std::string("ended by signal ") + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "";
}

// Reaps a worker that has closed its end; how it ended, as WorkerEnd says.
std::string ReapWorker(Worker* worker, size_t slot)
{
    int status = 0;
    pid_t ended;
    while ((ended = waitpid(worker->pid, &status, 0)) < 0 && errno == EINTR) {
    }
    workerIds[slot] = 0;
    worker->pid = -1;
    return ended < 0 ? "" : WorkerEnd(status);
}

// Waits for every worker to end, ending them first when `abandon`. Without,
// each has sent every result asked of it: one that sends more, or ends
// other than with status 0, is named in *trouble.
void StopWorkers(std::vector<Worker>* workers, bool abandon, InputName name, std::string* trouble)
{
    for (size_t slot = 0; slot < workers->size(); ++slot) {
        Worker& worker = (*workers)[slot];
        if (worker.pid < 0)
            continue;
        if (abandon)
            kill(worker.pid, SIGTERM);
        uint64_t index;
        std::string bytes;
        const bool more = !abandon && worker.open && ReceiveMessage(worker.results, &index, &bytes) != Received::kEnd;
        close(worker.results);
        const std::string how = ReapWorker(&worker, slot);
        if (!abandon && trouble->empty() && (more || !how.empty()))
            *trouble = "a worker " + (more ? std::string("sent more than it was asked for") : how) +
                       (worker.sent == kNoInput ? "" : " after reading " + name(static_cast<size_t>(worker.sent)));
    }
    workers->clear();
}

}  // namespace

int WorkersForThisMachine()
{
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? static_cast<int>(cores) : 1;
}

bool ReadInputs(size_t count, int workerCount, InputReader read, ResultSink sink, InputName name, std::string* error)
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
    workerIds.assign(wanted, 0);
    for (int signal : kEndingSignals)
        std::signal(signal, EndWorkersAndDie);
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
        std::vector<size_t> owners;
        for (size_t slot = 0; slot < workers.size(); ++slot) {
            if (workers[slot].open) {
                polled.push_back({workers[slot].results, POLLIN, 0});
                owners.push_back(slot);
            }
        }
        if (polled.empty() || (poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR)) {
            *error = "the workers stopped before " + name(emitted) + " was read";
            sound = false;
            break;
        }
        for (size_t w = 0; w < polled.size() && sound; ++w) {
            if (!(polled[w].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Worker& worker = workers[owners[w]];
            uint64_t index;
            std::string bytes;
            InputResult result;
            const Received got = ReceiveMessage(worker.results, &index, &bytes);
            if (got == Received::kTaking && index < count && worker.reading == kNoInput) {
                worker.reading = static_cast<int64_t>(index);
                continue;
            }
            if (got == Received::kResult && static_cast<int64_t>(index) == worker.reading && Deserialize(bytes, &result)) {
                waiting.emplace(static_cast<size_t>(index), std::move(result));
                worker.sent = worker.reading;
                worker.reading = kNoInput;
                continue;
            }
            if (got == Received::kResult || got == Received::kTaking) {
                *error = "a worker sent what no worker writes" +
                         (worker.reading == kNoInput ? "" : " while reading " + name(static_cast<size_t>(worker.reading)));
                sound = false;
                break;
            }
            // The worker has said all it will: it is done, or it died; a
            // file it had taken is then one that could not be read.
            worker.open = false;
            close(worker.results);
            std::string how = ReapWorker(&worker, owners[w]);
            if (how.empty() && (got == Received::kShort || worker.reading != kNoInput))
                how = "sent a short result";
            if (how.empty())
                continue;
            if (worker.reading == kNoInput) {
                *error = "a worker " + how +
                         (worker.sent == kNoInput ? "" : " after reading " + name(static_cast<size_t>(worker.sent)));
                sound = false;
                break;
            }
            result.error = "its worker " + how;
            waiting.emplace(static_cast<size_t>(worker.reading), std::move(result));
            worker.reading = kNoInput;
        }
        for (auto ready = waiting.find(emitted); sound && ready != waiting.end(); ready = waiting.find(emitted)) {
            stopped = !sink(emitted, std::move(ready->second));
            waiting.erase(ready);
            ++emitted;
            if (stopped)
                break;
        }
    }
    std::string trouble;
    StopWorkers(&workers, !sound || stopped, name, &trouble);
    for (int signal : kEndingSignals)
        std::signal(signal, SIG_DFL);
    munmap(shared, sizeof(std::atomic<uint64_t>));
    nextInput = nullptr;
    if (sound && !trouble.empty()) {
        *error = trouble;
        sound = false;
    }
    return sound;
}
