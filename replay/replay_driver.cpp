// tallyvane-replay.exe FILE.evt|FILE.evtx [--click N]... [--dump] [--timings] [--resources]
//                      [--close-with escape|enter|altf4|button]
//                      [--open-fails CODE] [--read-fails K:CODE]
// The whole program (start-up, scan, window) with the System log served from
// FILE. With --dump it drives the shown window itself: each --click N is a
// real mouse click on the header of column N, then it prints the title and
// every row as read back from the list, and ends the window. Any failure
// message box is then reported on stderr ("message box: ...") and answered.
// With --timings it also reports on stderr how long the window took from the
// end of the scan to shown, each click's sort, and the close.
// With --resources it reports the process's USER and GDI objects, handles and
// private bytes once shown, after the first click, and before closing. With
// --close-with it closes the window the way a user would, through the window
// system's input, instead of ending it directly.
// Without --dump it is the program, and the user closes it.

#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "history/win32_startup.h"
#include "savedlog/saved_log.h"
#include "replay/message_pump.h"
#include "replay/real_input.h"
#include "replay/record_source.h"
#include "window/main_window.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ReplayOptions {
    std::vector<int> clicks;
    bool dump = false;
    bool timings = false;
    bool resources = false;
    std::string closeWith;  // empty: end the window directly
};
ReplayOptions options;
DWORD programThread = 0;
Clock::time_point shownAt;
FILETIME shownAtWallClock;

double MillisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Whether `window` is the program's main window: ours, and titled as it is.
bool IsMainWindow(HWND window)
{
    char title[64] = "";
    GetWindowTextA(window, title, sizeof title);
    return std::strncmp(title, "Tallyvane Version", 17) == 0;
}

struct WindowSearch {
    bool (*matches)(HWND);
    HWND found;
};

// Stops the enumeration at the first window that matches. A named CALLBACK,
// not a lambda: on 32-bit x86 a lambda is not stdcall.
BOOL CALLBACK TakeMatchingWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<WindowSearch*>(context);
    if (!search->matches(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindThreadWindow(bool (*matches)(HWND))
{
    WindowSearch search{matches, nullptr};
    EnumThreadWindows(programThread, &TakeMatchingWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A real click on the header of column `column`; returns once it has sorted.
void ClickHeaderAndWait(HWND window, int column)
{
    double sortMs = 0;
    if (!ClickColumnHeader(window, column, 5000, &sortMs))
        std::fprintf(stderr, "tallyvane-replay: a header click was not handled in time\n");
    else if (options.timings)
        std::fprintf(stderr, "timing click-sort-ms %.1f\n", sortMs);
}

// Wine's user32 answers GetGuiResources, and its kernel32 GetProcessHandleCount,
// with 0, so the soak counts for itself, in the places both Windows and Wine
// keep the truth.

// Windows of this process: the USER objects it makes.
unsigned CountOwnWindows()
{
    struct Count {
        unsigned windows = 0;
        static BOOL CALLBACK Child(HWND window, LPARAM context)
        {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId())
                ++reinterpret_cast<Count*>(context)->windows;
            return TRUE;
        }
        static BOOL CALLBACK TopLevel(HWND window, LPARAM context)
        {
            Child(window, context);
            EnumChildWindows(window, &Count::Child, context);
            return TRUE;
        }
    } count;
    EnumWindows(&Count::TopLevel, reinterpret_cast<LPARAM>(&count));
    return count.windows;
}

// GDI objects of this process, from the GDI handle table that the process
// environment block points to (24-byte entries on 64-bit: kernel address,
// owner process, count, upper, type, user address). Windows shares one table
// among all processes and names each entry's owner; Wine gives each process
// a table of its own and leaves the owner 0.
unsigned CountOwnGdiObjects()
{
#ifdef _WIN64
    const auto* peb = reinterpret_cast<const BYTE*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    const BYTE* table = *reinterpret_cast<const BYTE* const*>(peb + 0xF8);
    if (!table)
        return 0;
    const bool ownTable = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    const USHORT process = static_cast<USHORT>(GetCurrentProcessId());
    unsigned objects = 0;
    for (unsigned entry = 0; entry < 0x10000; ++entry) {
        const BYTE* cell = table + 24 * entry;
        const USHORT owner = *reinterpret_cast<const USHORT*>(cell + 8);
        objects += cell[14] != 0 && (ownTable || owner == process);
    }
    return objects;
#else
    return GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
#endif
}

// Handles of this process, from the system's list of every open handle.
unsigned CountOwnHandles()
{
    using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    struct HandleEntry {
        ULONG ownerProcess;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        void* object;
        ULONG access;
    };
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    constexpr ULONG kSystemHandleInformation = 16;
    while (query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (64u << 20))
            return 0;
        buffer.resize(buffer.size() * 2);
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(void*));
    unsigned own = 0;
    for (ULONG i = 0; i < count; ++i)
        own += entries[i].ownerProcess == GetCurrentProcessId();
    return own;
}

// Reports what the process holds now: windows, GDI objects, handles, private bytes.
void ReportResources(const char* stage)
{
    if (!options.resources)
        return;
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::fprintf(stderr, "resources %s user=%u gdi=%u handles=%u private=%llu\n", stage, CountOwnWindows(),
                 CountOwnGdiObjects(), CountOwnHandles(), static_cast<unsigned long long>(memory.PagefileUsage));
}

// A real click on the middle of the Close button.
void ClickCloseButton(HWND window)
{
    RECT button{};
    GetWindowRect(GetDlgItem(window, kCloseButtonId), &button);
    ClickAt({(button.left + button.right) / 2, (button.top + button.bottom) / 2});
}

// Closes the window as a user would; the program's own loop handles the input.
void CloseAsUser(HWND window)
{
    SetForegroundWindow(window);
    if (options.closeWith == "escape")
        PressKeys({VK_ESCAPE});
    else if (options.closeWith == "enter")
        PressKeys({VK_RETURN});
    else if (options.closeWith == "altf4")
        PressKeys({VK_MENU, VK_F4});
    else
        ClickCloseButton(window);
}

// The title, then every row's six texts joined by tabs, read from the window.
void DumpWindow(HWND window)
{
    char text[kListTextBufferSize];
    GetWindowTextA(window, text, sizeof text);
    std::printf("%s\n", text);
    HWND list = GetDlgItem(window, kCycleListId);
    const int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < static_cast<int>(std::size(kCycleColumns)); ++column) {
            LVITEMA cell{};
            cell.iSubItem = column;
            cell.pszText = text;
            cell.cchTextMax = sizeof text;
            text[0] = '\0';
            SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
            std::printf(column ? "\t%s" : "%s", text);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

// Runs on the program's thread from its own message loop, once the window is shown.
void CALLBACK DriveWindow(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND window = FindThreadWindow(IsMainWindow);
    if (!window || !IsWindowVisible(window))
        return;
    KillTimer(nullptr, timer);
    ReportResources("shown");
    for (size_t click = 0; click < options.clicks.size(); ++click) {
        ClickHeaderAndWait(window, options.clicks[click]);
        if (click == 0)
            ReportResources("first-sort");
    }
    ReportResources("last-sort");
    DumpWindow(window);
    if (!options.closeWith.empty()) {
        CloseAsUser(window);
        return;
    }
    const Clock::time_point closing = Clock::now();
    EndMainWindow(window);
    if (options.timings) {
        const Clock::time_point scanned = EventLogTraceSoFar().lastReadEnd;
        std::fprintf(stderr, "timing scan-end-to-shown-ms %.1f\n", MillisecondsBetween(scanned, shownAt));
        std::fprintf(stderr, "timing close-ms %.1f\n", MillisecondsBetween(closing, Clock::now()));
        // Wall-clock time of the showing, for a caller that noted when it started the process.
        const uint64_t ticks = (uint64_t{shownAtWallClock.dwHighDateTime} << 32) | shownAtWallClock.dwLowDateTime;
        std::fprintf(stderr, "timing shown-at-unix-ms %.1f\n", (ticks - 116444736000000000ULL) / 1e4);
        PROCESS_MEMORY_COUNTERS memory{};
        GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
        std::fprintf(stderr, "memory peak-private-bytes %llu\n",
                     static_cast<unsigned long long>(memory.PeakPagefileUsage));
        std::fprintf(stderr, "memory peak-working-set-bytes %llu\n",
                     static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    }
}

// Notes when the main window first becomes visible, for --timings. It polls
// from its own thread with calls that send the window no message: a message
// hook would be called for every message the list is sent and slow the
// program a hundredfold, and the program's thread is busy until it shows.
DWORD WINAPI WatchShowing(void*)
{
    for (;;) {
        HWND window = FindThreadWindow([](HWND candidate) {
            wchar_t title[32] = L"";
            InternalGetWindowText(candidate, title, 32);
            return IsWindowVisible(candidate) && std::wcsncmp(title, L"Tallyvane Version", 17) == 0;
        });
        if (window) {
            shownAt = Clock::now();
            GetSystemTimePreciseAsFileTime(&shownAtWallClock);
            return 0;
        }
        Sleep(0);
    }
}

// Describes a message box the way its caller asked for it, on one line:
// MB_OK with the error icon is style 0x10.
std::string DescribeMessageBox(HWND box)
{
    char caption[256] = "", text[1024] = "";
    GetWindowTextA(box, caption, sizeof caption);
    HWND icon = nullptr;
    std::vector<int> buttons;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char className[32] = "";
        GetClassNameA(child, className, sizeof className);
        if (_stricmp(className, "Button") == 0)
            buttons.push_back(GetDlgCtrlID(child));
        else if (_stricmp(className, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            icon = child;
        else if (_stricmp(className, "Static") == 0)
            GetWindowTextA(child, text, sizeof text);
    }
    const bool errorIcon =
        icon && reinterpret_cast<HICON>(SendMessageA(icon, STM_GETICON, 0, 0)) == LoadIconA(nullptr, IDI_HAND);
    const bool okOnly = buttons.size() == 1 && buttons[0] == IDOK;
    // A text of several lines is reported on one.
    for (char* c = text; *c; ++c)
        *c = *c == '\r' || *c == '\n' ? ' ' : *c;
    char style[16];
    std::snprintf(style, sizeof style, "0x%x", static_cast<unsigned>((okOnly ? MB_OK : 0xF) | (errorIcon ? MB_ICONERROR : 0)));
    return std::string("caption \"") + caption + "\" text \"" + text + "\" style " + style;
}

bool IsMessageBox(HWND window)
{
    char caption[32] = "";
    GetWindowTextA(window, caption, sizeof caption);
    return IsWindowVisible(window) && std::strcmp(caption, "Tallyvane") == 0;
}

// Watches for the program's failure boxes, reports each on stderr and answers it.
DWORD WINAPI AnswerMessageBoxes(void*)
{
    for (;;) {
        if (HWND box = FindThreadWindow(IsMessageBox)) {
            std::fprintf(stderr, "message box: %s\n", DescribeMessageBox(box).c_str());
            std::fflush(stderr);
            SendMessageA(box, WM_COMMAND, IDOK, 0);
        }
        Sleep(20);
    }
}

constexpr char kUsage[] = "usage: tallyvane-replay FILE.evt|FILE.evtx [--click N]... [--dump] [--timings] [--resources]\n"
                          "                        [--close-with escape|enter|altf4|button] [--open-fails CODE] [--read-fails K:CODE]\n";
constexpr char kHelp[] =
    "Shows Tallyvane's window over a saved Windows System event log FILE (.evt\n"
    "or .evtx) in place of this machine's own, as the program would show it on\n"
    "the machine that wrote the log, in this machine's time zone.\n"
    "\n"
    "  --dump               drive the window itself: print its title and rows as\n"
    "                       read back from the list, then close it\n"
    "  --click N            before --dump prints, click the header of column N\n"
    "  --timings            say on stderr how long showing, sorting and closing took\n"
    "  --resources          say on stderr what USER and GDI objects, handles and\n"
    "                       memory the process holds\n"
    "  --close-with HOW     close the window as a user would: escape, enter,\n"
    "                       altf4 or button\n"
    "  --open-fails CODE    the log fails to open with CODE\n"
    "  --read-fails K:CODE  the K-th read of the log fails with CODE\n"
    "  -h, --help           print this help and exit\n"
    "\n"
    "Exit status is 0, and 2 when FILE cannot be read or the command line is wrong.\n";

// A program of the windows subsystem started from a command prompt has no
// stdout or stderr there: it takes the prompt's console for whichever of the
// two goes nowhere else, so that --help and its messages reach the user.
void ReachParentConsole()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    const bool outNowhere = out == nullptr || out == INVALID_HANDLE_VALUE;
    const bool errNowhere = err == nullptr || err == INVALID_HANDLE_VALUE;
    if (!(outNowhere || errNowhere) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (outNowhere)
        std::freopen("CONOUT$", "w", stdout);
    if (errNowhere)
        std::freopen("CONOUT$", "w", stderr);
}

// Tells the user, before the window lists the cycles, what the file lacks:
// damage read round, or a copy cut short, whose newest cycle the list then
// calls running without knowing it. Nothing for a sound file.
void WarnOfMissingParts(const char* path, const SkippedParts& skipped)
{
    const std::string damage = SkippedPartsText(skipped), cut = CutShortText(skipped);
    if (damage.empty() && cut.empty())
        return;
    std::string text = std::string(path) + "\n\n";
    for (const std::string* line : {&damage, &cut})
        text += line->empty() ? "" : "The log is " + *line + ".\n";
    if (skipped.newestMissing)
        text += "\nHow its newest cycle ended is in the missing part: the list shows it as running, but it may have "
                "stopped or died.";
    else
        text += "\nThe list shows the cycles its sound records hold.";
    MessageBoxA(nullptr, text.c_str(), "Tallyvane", MB_OK | MB_ICONWARNING);
}

// Says what is wrong with the command line and how it is used, and ends with 2.
[[noreturn]] void Usage(const char* problem)
{
    std::fprintf(stderr, "tallyvane-replay: %s\n%s", problem, kUsage);
    ExitProcess(2);
}

// Prints how the program is used on stdout, as asked, and ends with 0.
[[noreturn]] void Help()
{
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    std::fflush(stdout);
    ExitProcess(0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    ReachParentConsole();
    _setmode(_fileno(stdout), _O_BINARY);  // the rows end in \n, as evt-replay's do
    for (int i = 1; i < __argc; ++i) {
        if (std::strcmp(__argv[i], "--help") == 0 || std::strcmp(__argv[i], "-h") == 0)
            Help();
    }
    if (__argc < 2)
        Usage("no log file given");
    if (__argv[1][0] == '-' && __argv[1][1] != '\0')
        Usage((std::string("unknown option ") + __argv[1]).c_str());
    EventLogScript script;
    SkippedParts skipped;
    std::string error;
    if (!LoadSavedLog(__argv[1], &script, &skipped, &error)) {
        std::fprintf(stderr, "tallyvane-replay: %s: %s\n", __argv[1], error.c_str());
        ExitProcess(2);
    }
    for (const std::string& line : {SkippedPartsText(skipped), CutShortText(skipped)}) {
        if (!line.empty())
            std::fprintf(stderr, "tallyvane-replay: %s: %s\n", __argv[1], line.c_str());
    }
    for (int i = 2; i < __argc; ++i) {
        const std::string option = __argv[i];
        const char* value = i + 1 < __argc ? __argv[i + 1] : nullptr;
        if (option == "--dump") {
            options.dump = true;
        } else if (option == "--timings") {
            options.timings = true;
        } else if (option == "--resources") {
            options.resources = true;
        } else if (option == "--close-with" && value) {
            options.closeWith = value;
            ++i;
        } else if (option == "--click" && value) {
            options.clicks.push_back(std::atoi(value));
            ++i;
        } else if (option == "--open-fails" && value) {
            script.openError = std::strtoul(value, nullptr, 0);
            ++i;
        } else if (option == "--read-fails" && value && std::strchr(value, ':')) {
            script.failingRead = std::strtoul(value, nullptr, 0);
            script.failingReadCode = std::strtoul(std::strchr(value, ':') + 1, nullptr, 0);
            ++i;
        } else {
            Usage(("unknown option " + option).c_str());
        }
    }
    LoadEventLogScript(std::move(script));
    programThread = GetCurrentThreadId();
    if (options.dump)
        CreateThread(nullptr, 0, &AnswerMessageBoxes, nullptr, 0, nullptr);
    WarnOfMissingParts(__argv[1], skipped);
    if (options.dump)
        SetTimer(nullptr, 0, 20, &DriveWindow);
    if (options.timings)
        CreateThread(nullptr, 0, &WatchShowing, nullptr, 0, nullptr);
    RunProgram();
}
