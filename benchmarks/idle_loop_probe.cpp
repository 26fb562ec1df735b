// What an idle polling loop costs on this platform, apart from the program:
// for a few seconds each, a loop of Sleep(1) alone, then the same loop with
// an empty PeekMessageA in it, as the program's message loop runs while idle.
// Prints the process's CPU share of one core for each.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

double CpuSeconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// Runs `loop` for `milliseconds`, returns the CPU share and the iterations per second.
template <typename Loop>
void Measure(const char* name, DWORD milliseconds, Loop loop)
{
    const double cpuBefore = CpuSeconds();
    const DWORD start = GetTickCount();
    unsigned long iterations = 0;
    while (GetTickCount() - start < milliseconds) {
        loop();
        ++iterations;
    }
    const double wall = (GetTickCount() - start) / 1000.0;
    std::printf("%s: %.2f%% of a core, %.0f iterations/s\n", name, 100 * (CpuSeconds() - cpuBefore) / wall,
                iterations / wall);
}

}  // namespace

int main(int argc, char** argv)
{
    const DWORD milliseconds = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) * 1000 : 10000;
    Measure("Sleep(1) alone", milliseconds, [] { Sleep(1); });
    Measure("PeekMessageA on an empty queue, then Sleep(1)", milliseconds, [] {
        MSG message;
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            Sleep(1);
    });
    return 0;
}
