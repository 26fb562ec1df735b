// What the platform alone needs to show the window's results, measured in
// the same Wine as the program, as the floor under the program's figures.
//
// list_view_probe.exe ROWS [--dump]
//   ROWS is what evt-replay prints for a log: the title, then one row of six
//   tab-separated texts a line. Builds a dialog from the program's template
//   with one list view of the program's columns, fills it with those rows,
//   redraw off, and shows it; once it has been painted, sorts the rows once by
//   the Start Date column with LVM_SORTITEMS and a plain strcmp. With --dump it
//   then prints the title and the rows read back from the list, as
//   tallyvane-replay.exe --dump does, so that a caller can check both did the
//   same work.
// list_view_probe.exe --empty
//   Only an empty dialog from the same template, shown: the start-up floor.
//
// Reports on stderr, as tallyvane-replay.exe --timings does:
//   timing window-to-shown-ms   from the rows being in memory to shown (the
//                                span the program's scan-end-to-shown covers)
//   timing fill-to-shown-ms     from the first row inserted to shown
//   timing sort-ms              LVM_SORTITEMS alone
//   timing shown-at-unix-ms     wall-clock time of the showing

#include <windows.h>
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "history/boot_history.h"
#include "window/main_window.h"

namespace {

using Clock = std::chrono::steady_clock;
using ProbeRow = std::array<std::string, std::size(kCycleColumns)>;

// The program's window template, repeated here rather than shared: the
// program keeps it private to window/main_window.cpp, and the probe must not
// link the program. Same style, size and font, so the platform does the same
// work for the frame.
constexpr DWORD kDialogStyle = WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFONT | DS_NOFAILCREATE | DS_3DLOOK;
constexpr DWORD kDialogExStyle = WS_EX_CONTROLPARENT;
constexpr short kDialogWidth = 360;
constexpr short kDialogHeight = 235;
constexpr short kDefaultPosition = static_cast<short>(CW_USEDEFAULT & 0xFFFF);
constexpr WORD kFontPoints = 8;
constexpr wchar_t kFontFace[] = L"Comic Sans MS";
constexpr RECT kListRect = {10, 10, 350, 210};  // dialog units
constexpr DWORD kListStyle = WS_CHILD | WS_VISIBLE | LVS_REPORT;

// A header click on this column is what the program's reported sort figure measures.
constexpr int kSortColumn = kStartDateColumn;
// How often the probe looks whether its window has been shown and painted;
// the program's test driver looks as often.
constexpr UINT kPollMilliseconds = 20;

std::string title;
std::vector<ProbeRow> rows;
bool emptyDialog = false;
bool dump = false;
DWORD probeThread = 0;
std::atomic<bool> shown{false};
Clock::time_point shownAt;
FILETIME shownAtWallClock;
Clock::time_point windowStart;
Clock::time_point fillStart;

// The time from `from` to `to` in milliseconds, fractions kept.
double MillisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Reads evt-replay's output: the first line is the title, every other line a
// row of six texts. False, with the reason on stderr, for anything else.
bool LoadRows(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        std::fprintf(stderr, "list_view_probe: cannot open %s\n", path);
        return false;
    }
    std::string text;
    char chunk[1 << 16];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, got);
    std::fclose(file);
    size_t lineStart = 0;
    for (int line = 0; lineStart < text.size(); ++line) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = text.size();
        const std::string lineText = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        if (line == 0) {
            title = lineText;
            continue;
        }
        ProbeRow row;
        size_t cellStart = 0;
        for (size_t column = 0; column < row.size(); ++column) {
            const size_t tab = lineText.find('\t', cellStart);
            const bool last = column + 1 == row.size();
            if (last != (tab == std::string::npos)) {
                std::fprintf(stderr, "list_view_probe: %s: line %d has not six texts\n", path, line + 1);
                return false;
            }
            row[column] = lineText.substr(cellStart, last ? std::string::npos : tab - cellStart);
            cellStart = tab + 1;
        }
        rows.push_back(row);
    }
    if (title.empty()) {
        std::fprintf(stderr, "list_view_probe: %s has no title line\n", path);
        return false;
    }
    return true;
}

// Appends the bytes of `value` to a template under construction.
template <typename T>
void Put(std::vector<BYTE>* bytes, const T& value)
{
    const auto* first = reinterpret_cast<const BYTE*>(&value);
    bytes->insert(bytes->end(), first, first + sizeof value);
}

// The extended dialog template the program uses: no menu, the system's
// dialog class, no caption, no controls, the program's font.
std::vector<BYTE> DialogTemplate()
{
    std::vector<BYTE> bytes;
    Put<WORD>(&bytes, 1);
    Put<WORD>(&bytes, 0xFFFF);
    Put<DWORD>(&bytes, 0);
    Put<DWORD>(&bytes, kDialogExStyle);
    Put<DWORD>(&bytes, kDialogStyle);
    Put<WORD>(&bytes, 0);
    Put<short>(&bytes, kDefaultPosition);
    Put<short>(&bytes, kDefaultPosition);
    Put<short>(&bytes, kDialogWidth);
    Put<short>(&bytes, kDialogHeight);
    Put<WORD>(&bytes, 0);
    Put<WORD>(&bytes, 0);
    Put<WORD>(&bytes, 0);
    Put<WORD>(&bytes, kFontPoints);
    Put<WORD>(&bytes, FW_NORMAL);
    Put<BYTE>(&bytes, FALSE);
    Put<BYTE>(&bytes, ANSI_CHARSET);
    for (wchar_t c : kFontFace)
        Put<WORD>(&bytes, static_cast<WORD>(c));
    bytes.resize((bytes.size() + 3) & ~size_t{3});
    return bytes;
}

// The dialog handles nothing itself: the probe drives it from outside.
INT_PTR CALLBACK DialogProcedure(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

// Notes when the probe's window first becomes visible, the way
// tallyvane-replay.exe does: from another thread, by calls that send the
// window nothing, so that the figures of both are taken alike.
BOOL CALLBACK NoteIfVisible(HWND window, LPARAM)
{
    if (!IsWindowVisible(window))
        return TRUE;
    shownAt = Clock::now();
    GetSystemTimePreciseAsFileTime(&shownAtWallClock);
    shown = true;
    return FALSE;
}

// The watching thread: looks until the probe's window is visible, then ends.
DWORD WINAPI WatchShowing(void*)
{
    while (!shown) {
        EnumThreadWindows(probeThread, &NoteIfVisible, 0);
        if (!shown)
            Sleep(0);
    }
    return 0;
}

// The list view and its columns, at the program's place.
HWND CreateList(HWND dialog)
{
    RECT rect = kListRect;
    MapDialogRect(dialog, &rect);
    HWND list = CreateWindowExA(0, WC_LISTVIEWA, "", kListStyle, rect.left, rect.top, rect.right - rect.left,
                                rect.bottom - rect.top, dialog, reinterpret_cast<HMENU>(INT_PTR{kCycleListId}),
                                GetModuleHandleA(nullptr), nullptr);
    SendMessageA(list, WM_SETFONT, SendMessageA(dialog, WM_GETFONT, 0, 0), FALSE);
    for (int column = 0; column < static_cast<int>(std::size(kCycleColumns)); ++column) {
        LVCOLUMNA header{};
        header.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        header.fmt = LVCFMT_LEFT;
        header.cx = kCycleColumns[column].width;
        header.pszText = const_cast<char*>(kCycleColumns[column].title);
        header.iSubItem = column;
        SendMessageA(list, LVM_INSERTCOLUMNA, column, reinterpret_cast<LPARAM>(&header));
    }
    return list;
}

// Inserts every row with its first text and its position as key, then its
// other texts, with redraw off.
void FillList(HWND list)
{
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LVM_SETITEMCOUNT, rows.size(), 0);
    for (size_t i = 0; i < rows.size(); ++i) {
        LVITEMA item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<char*>(rows[i][0].c_str());
        item.lParam = static_cast<LPARAM>(i);
        const WPARAM index = SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        for (size_t column = 1; column < rows[i].size(); ++column) {
            LVITEMA cell{};
            cell.iSubItem = static_cast<int>(column);
            cell.pszText = const_cast<char*>(rows[i][column].c_str());
            SendMessageA(list, LVM_SETITEMTEXTA, index, reinterpret_cast<LPARAM>(&cell));
        }
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
}

// Orders two rows, keyed by their place in `rows`, by the bytes of one
// column's texts, as the program's header click does.
int CALLBACK CompareRows(LPARAM key1, LPARAM key2, LPARAM column)
{
    const int order = std::strcmp(rows[key1][column].c_str(), rows[key2][column].c_str());
    return order > 0 ? 1 : order < 0 ? -1 : 0;
}
static_assert(std::is_same_v<decltype(&CompareRows), PFNLVCOMPARE>, "CompareRows must be a PFNLVCOMPARE");

// The title, then every row's six texts joined by tabs, read from the list.
void DumpWindow(HWND dialog, HWND list)
{
    char text[kListTextBufferSize];
    GetWindowTextA(dialog, text, sizeof text);
    std::printf("%s\n", text);
    const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) {
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

// Stops the enumeration at the first visible window. A named CALLBACK, not a
// lambda: on 32-bit x86 a lambda is not stdcall.
BOOL CALLBACK TakeVisibleWindow(HWND window, LPARAM found)
{
    if (!IsWindowVisible(window))
        return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// Once the window has been shown, and painted (a thread is given a timer
// message only when none of its windows waits to be painted), sorts the
// list, reports and ends the window.
void CALLBACK FinishOnceShown(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND dialog = nullptr;
    EnumThreadWindows(probeThread, &TakeVisibleWindow, reinterpret_cast<LPARAM>(&dialog));
    if (!shown || !dialog)
        return;
    KillTimer(nullptr, timer);
    if (!emptyDialog) {
        HWND list = GetDlgItem(dialog, kCycleListId);
        const Clock::time_point sortStart = Clock::now();
        SendMessageA(list, LVM_SORTITEMS, kSortColumn, reinterpret_cast<LPARAM>(&CompareRows));
        const double sortMs = MillisecondsBetween(sortStart, Clock::now());
        std::fprintf(stderr, "timing window-to-shown-ms %.1f\n", MillisecondsBetween(windowStart, shownAt));
        std::fprintf(stderr, "timing fill-to-shown-ms %.1f\n", MillisecondsBetween(fillStart, shownAt));
        std::fprintf(stderr, "timing sort-ms %.1f\n", sortMs);
        if (dump)
            DumpWindow(dialog, list);
    }
    const uint64_t ticks = (uint64_t{shownAtWallClock.dwHighDateTime} << 32) | shownAtWallClock.dwLowDateTime;
    std::fprintf(stderr, "timing shown-at-unix-ms %.1f\n", (ticks - 116444736000000000ULL) / 1e4);
    std::fflush(stderr);
    DestroyWindow(dialog);
    PostQuitMessage(0);
}

// Says what was wrong with the command line and how to call the probe; exit code 2.
[[noreturn]] void Usage(const char* problem)
{
    std::fprintf(stderr, "list_view_probe: %s\nusage: list_view_probe ROWS [--dump] | list_view_probe --empty\n",
                 problem);
    ExitProcess(2);
}

}  // namespace

// Reads the rows, then makes, fills and shows the window while the watcher
// notes the showing; the timer finishes the run from the message loop.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    _setmode(_fileno(stdout), _O_BINARY);  // rows end in \n, as evt-replay's do
    if (__argc == 2 && std::strcmp(__argv[1], "--empty") == 0)
        emptyDialog = true;
    else if (__argc == 3 && std::strcmp(__argv[2], "--dump") == 0)
        dump = true;
    else if (__argc != 2)
        Usage("wrong arguments");
    if (!emptyDialog && !LoadRows(__argv[1]))
        ExitProcess(2);

    if (!emptyDialog) {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&controls);
    }
    probeThread = GetCurrentThreadId();
    CreateThread(nullptr, 0, &WatchShowing, nullptr, 0, nullptr);
    SetTimer(nullptr, 0, kPollMilliseconds, &FinishOnceShown);

    windowStart = Clock::now();
    const std::vector<BYTE> dialogTemplate = DialogTemplate();
    HWND dialog = CreateDialogIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()),
                                             nullptr, &DialogProcedure, 0);
    if (!emptyDialog) {
        SetWindowTextA(dialog, title.c_str());
        HWND list = CreateList(dialog);
        fillStart = Clock::now();
        FillList(list);
        // The program's extended styles, given after the fill as it gives
        // them: given before, they make the fill here about 10 ms slower.
        SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, kCycleListExtendedStyles);
    }
    ShowWindow(dialog, SW_SHOW);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return 0;
}
