// The real main window under the platform's user32 and comctl32: what it
// shows, where, and what real clicks and keys do to it.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "history/boot_history.h"
#include "tests/window/window_driver.h"
#include "window/main_window.h"

namespace {

using Row = std::vector<std::string>;
using Texts = std::vector<std::string>;

// Twelve cycles, newest first: one still running, two that died, and elapsed
// texts whose byte order is not their length order.
const std::vector<CycleTimes> kCycles = {
    {"2024/05/20 09:15:00", ""},
    {"2024/05/19 22:40:10", "2024/05/20 01:05:00"},
    {"2024/05/18 07:00:00", ""},
    {"2024/05/10 12:00:00", "2024/05/18 06:30:00"},
    {"2024/05/09 23:59:30", "2024/05/10 00:00:15"},
    {"2024/05/08 08:00:00", "2024/05/08 08:01:30"},
    {"2024/04/30 10:00:00", ""},
    {"2024/04/01 06:00:00", "2024/04/30 09:00:00"},
    {"2024/03/31 20:00:00", "2024/04/01 05:30:00"},
    {"2024/03/30 11:11:11", "2024/03/30 12:12:12"},
    {"2024/03/01 00:00:00", "2024/03/03 10:00:00"},
    {"2024/02/28 18:00:00", "2024/02/29 18:00:00"},
};

// The rows those cycles make, in the order they are filled.
const std::vector<Row> kRows = {
    {"0001", "2024/05/20", "09:15:00", "", "", "System is running"},
    {"0002", "2024/05/19", "22:40:10", "2024/05/20", "01:05:00", " 2 hours 24 minutes 50 seconds"},
    {"0003", "2024/05/18", "07:00:00", "", "", "System died"},
    {"0004", "2024/05/10", "12:00:00", "2024/05/18", "06:30:00", " 7 days 18 hours 30 minutes"},
    {"0005", "2024/05/09", "23:59:30", "2024/05/10", "00:00:15", " 45 seconds"},
    {"0006", "2024/05/08", "08:00:00", "2024/05/08", "08:01:30", " 1 minutes 30 seconds"},
    {"0007", "2024/04/30", "10:00:00", "", "", "System died"},
    {"0008", "2024/04/01", "06:00:00", "2024/04/30", "09:00:00", " 29 days 3 hours"},
    {"0009", "2024/03/31", "20:00:00", "2024/04/01", "05:30:00", " 9 hours 30 minutes"},
    {"0010", "2024/03/30", "11:11:11", "2024/03/30", "12:12:12", " 1 hours 1 minutes 1 seconds"},
    {"0011", "2024/03/01", "00:00:00", "2024/03/03", "10:00:00", " 58 hours"},
    {"0012", "2024/02/28", "18:00:00", "2024/02/29", "18:00:00", " 24 hours"},
};

const Texts kStartDatesAscending = {"2024/02/28", "2024/03/01", "2024/03/30", "2024/03/31", "2024/04/01", "2024/04/30",
                                    "2024/05/08", "2024/05/09", "2024/05/10", "2024/05/18", "2024/05/19", "2024/05/20"};
const Texts kElapsedTextsAscending = {
    " 1 hours 1 minutes 1 seconds", " 1 minutes 30 seconds", " 2 hours 24 minutes 50 seconds", " 24 hours",
    " 29 days 3 hours", " 45 seconds", " 58 hours", " 7 days 18 hours 30 minutes", " 9 hours 30 minutes",
    "System died", "System died", "System is running"};
const Texts kStopTimesAscending = {"",         "",         "",         "00:00:15", "01:05:00", "05:30:00",
                                   "06:30:00", "08:01:30", "09:00:00", "10:00:00", "12:12:12", "18:00:00"};

const char kTwelveTitle[] = "Tallyvane Version1.0 - Shows 12 items - Orvensmith: https://www.orvensmith.com";

// The texts of one column, top to bottom.
Texts ColumnOf(const std::vector<Row>& rows, int column)
{
    Texts texts;
    for (const Row& row : rows)
        texts.push_back(row[column]);
    return texts;
}

// Checks that the list holds exactly the filled rows, each whole, in any order.
void ExpectWholeFilledRows(std::vector<Row> rows)
{
    std::vector<Row> filled = kRows;
    std::sort(rows.begin(), rows.end());
    std::sort(filled.begin(), filled.end());
    EXPECT_EQ(rows, filled) << "a row's texts were separated, lost or duplicated";
}

// A rectangle in dialog units, in pixels of `window`'s font.
RECT InPixels(HWND window, RECT dialogUnits)
{
    MapDialogRect(window, &dialogUnits);
    return dialogUnits;
}

TEST(MainWindow, TitleAndListTellHowManyCyclesThereAre)
{
    const struct {
        size_t cycles;
        const char* title;
    } cases[] = {
        {0, "Tallyvane Version1.0 - Shows 0 items - Orvensmith: https://www.orvensmith.com"},
        {1, "Tallyvane Version1.0 - Shows 1 items - Orvensmith: https://www.orvensmith.com"},
        {12, kTwelveTitle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cycles);
        FillTable({kCycles.begin(), kCycles.begin() + c.cycles});
        RunMainWindow([&](HWND window) {
            EXPECT_EQ(WindowTitle(window), c.title);
            EXPECT_EQ(SendMessageA(CycleListHeader(window), HDM_GETITEMCOUNT, 0, 0), 6);
            EXPECT_EQ(ListRows(window), std::vector<Row>(kRows.begin(), kRows.begin() + c.cycles));
        });
    }
}

TEST(MainWindow, IsSizedInDialogUnitsOfItsFontAndCentredInTheWorkArea)
{
    FillTable(kCycles);
    RunMainWindow([](HWND window) {
        RECT client{}, work{}, frame{};
        GetClientRect(window, &client);
        EXPECT_EQ(client, InPixels(window, {0, 0, 360, 235}));
        const struct {
            int id;
            RECT dialogUnits;
        } controls[] = {{kCycleListId, {10, 10, 350, 210}}, {IDCANCEL, {148, 215, 208, 229}}};
        for (const auto& control : controls) {
            SCOPED_TRACE(control.id);
            HWND child = GetDlgItem(window, control.id);
            ASSERT_TRUE(child && IsWindowVisible(child));
            GetWindowRect(child, &frame);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&frame), 2);
            EXPECT_EQ(frame, InPixels(window, control.dialogUnits));
        }
        EXPECT_EQ(WindowTitle(GetDlgItem(window, IDCANCEL)), "Close");

        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        GetWindowRect(window, &frame);
        EXPECT_NEAR(frame.left - work.left, work.right - frame.right, 2);
        EXPECT_NEAR(frame.top - work.top, work.bottom - frame.bottom, 2);
    });
}

TEST(MainWindow, CannotBeResizedOrMaximisedWithTheMouse)
{
    FillTable(kCycles);
    RunMainWindow([](HWND window) {
        RECT before{}, after{};
        GetWindowRect(window, &before);
        const LONG captionY = before.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2;
        // Every pixel of the outer frame, and the caption's middle row.
        std::vector<POINT> points;
        for (LONG x = before.left; x < before.right; ++x)
            points.insert(points.end(), {{x, before.top}, {x, before.bottom - 1}, {x, captionY}});
        for (LONG y = before.top; y < before.bottom; ++y)
            points.insert(points.end(), {{before.left, y}, {before.right - 1, y}});
        int sizingPoints = 0, maximisePoints = 0;
        for (POINT p : points) {
            const LRESULT hit = SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y));
            sizingPoints += hit >= HTLEFT && hit <= HTBOTTOMRIGHT;
            maximisePoints += hit == HTMAXBUTTON;
        }
        EXPECT_EQ(sizingPoints, 0) << "frame pixels that offer to resize the window";
        EXPECT_EQ(maximisePoints, 0) << "caption pixels on a maximise button";

        const POINT caption{(before.left + before.right) / 2, captionY};
        ASSERT_EQ(SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(caption.x, caption.y)), HTCAPTION);
        ClickAt(caption);
        ClickAt(caption);
        EXPECT_TRUE(PumpUntil(window, [](const MSG& msg) { return msg.message == WM_NCLBUTTONDBLCLK; }))
            << "the two clicks were not taken for a double-click";
        PumpUntil(window, [](const MSG& msg) { return msg.message == WM_NCLBUTTONUP; }, 500);
        GetWindowRect(window, &after);
        EXPECT_FALSE(IsZoomed(window));
        EXPECT_EQ(after, before);
    });
}

TEST(CycleList, IsAReportOfSixTitledColumnsWithClickableDraggableHeaders)
{
    FillTable(kCycles);
    RunMainWindow([](HWND window) {
        HWND list = CycleList(window);
        const struct {
            const char* title;
            int width;
        } columns[] = {{"Index", 50},     {"Start Date", 80}, {"Start Time", 70},
                       {"Stop Date", 80}, {"Stop Time", 70},  {"Elapsed Time", 228}};
        for (int column = 0; column < 6; ++column) {
            SCOPED_TRACE(column);
            char title[64] = "";
            LVCOLUMNA header{};
            header.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
            header.pszText = title;
            header.cchTextMax = sizeof title;
            ASSERT_TRUE(SendMessageA(list, LVM_GETCOLUMNA, column, reinterpret_cast<LPARAM>(&header)));
            EXPECT_STREQ(title, columns[column].title);
            EXPECT_EQ(header.cx, columns[column].width);
            EXPECT_EQ(header.iSubItem, column);
        }
        int order[6] = {};
        ASSERT_TRUE(SendMessageA(list, LVM_GETCOLUMNORDERARRAY, 6, reinterpret_cast<LPARAM>(order)));
        EXPECT_EQ(std::vector<int>(order, order + 6), (std::vector<int>{0, 1, 2, 3, 4, 5}));

        // Grid lines, draggable headers, full-row selection, flat scroll bars.
        EXPECT_EQ(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), 0x131);
        const LONG style = GetWindowLongA(list, GWL_STYLE);
        EXPECT_EQ(style & LVS_TYPEMASK, LVS_REPORT);
        EXPECT_FALSE(style & (LVS_NOSORTHEADER | LVS_SINGLESEL));
    });
}

// The list's rows and extended styles when the main window was told it was about to be shown.
LRESULT rowsAtShowing, stylesAtShowing;

// Notes the list's rows and extended styles as the main window is first shown.
LRESULT CALLBACK NoteListAtShowing(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    HWND list = code == HC_ACTION ? GetDlgItem(call->hwnd, kCycleListId) : nullptr;
    if (list && call->message == WM_SHOWWINDOW && call->wParam && rowsAtShowing < 0) {
        rowsAtShowing = SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
        stylesAtShowing = SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(CycleList, IsFilledBeforeTheWindowIsFirstShown)
{
    FillTable(kCycles);
    rowsAtShowing = stylesAtShowing = -1;
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, &NoteListAtShowing, nullptr, GetCurrentThreadId());
    ASSERT_TRUE(hook);
    RunMainWindow([](HWND) {});
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(rowsAtShowing, 12);
    EXPECT_EQ(stylesAtShowing, 0x131);
}

TEST(CycleList, LongListScrollsDownToItsLastRow)
{
    std::vector<CycleTimes> cycles;
    for (int copy = 0; copy < 4; ++copy)
        cycles.insert(cycles.end(), kCycles.begin(), kCycles.end());
    FillTable(cycles);
    RunMainWindow([](HWND window) {
        HWND list = CycleList(window);
        const LRESULT perPage = SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0);
        ASSERT_LT(perPage, 48) << "the list is too tall for this check";
        SCROLLINFO bar{};
        bar.cbSize = sizeof bar;
        bar.fMask = SIF_RANGE | SIF_PAGE;
        ASSERT_TRUE(GetScrollInfo(list, SB_VERT, &bar)) << "no vertical scroll bar";
        EXPECT_EQ(bar.nMax - bar.nMin + 1, 48);
        EXPECT_EQ(static_cast<LRESULT>(bar.nPage), perPage);
        // Page by page, as clicks below the scroll bar's thumb would.
        for (int page = 0; page <= 48 / perPage; ++page)
            SendMessageA(list, WM_VSCROLL, SB_PAGEDOWN, 0);
        EXPECT_EQ(SendMessageA(list, LVM_GETTOPINDEX, 0, 0), 48 - perPage);
    });
}

TEST(HeaderClick, SortsWholeRowsAscendingByTheBytesOfTheClickedColumn)
{
    const struct {
        int column;
        Texts texts;  // of that column, top to bottom, after the click
    } clicks[] = {
        {kStartDateColumn, kStartDatesAscending}, {kStartDateColumn, kStartDatesAscending},
        {kElapsedColumn, kElapsedTextsAscending}, {kElapsedColumn, kElapsedTextsAscending},
        {kStopTimeColumn, kStopTimesAscending},   {kStopTimeColumn, kStopTimesAscending},
        {kIndexColumn, ColumnOf(kRows, kIndexColumn)},
    };
    FillTable(kCycles);
    RunMainWindow([&](HWND window) {
        std::vector<Row> previous;
        int previousColumn = -1;
        for (const auto& click : clicks) {
            SCOPED_TRACE(click.column);
            ASSERT_TRUE(ClickColumnHeader(window, click.column)) << "the click was not handled";
            const std::vector<Row> rows = ListRows(window);
            EXPECT_EQ(ColumnOf(rows, click.column), click.texts);
            ExpectWholeFilledRows(rows);
            if (click.column == previousColumn) {
                EXPECT_EQ(rows, previous) << "a second click on the same header changed the order";
            }
            previous = rows;
            previousColumn = click.column;
        }
        EXPECT_EQ(WindowTitle(window), kTwelveTitle);
    });
}

TEST(HeaderClick, ScreenShowsTheRowsInTheirNewOrder)
{
    FillTable(kCycles);
    RunMainWindow([](HWND window) {
        RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        std::vector<uint32_t> shown = ListRowPixels(window);
        for (int column : {kStartDateColumn, kElapsedColumn, kStopTimeColumn}) {
            SCOPED_TRACE(column);
            ASSERT_TRUE(ClickColumnHeader(window, column));
            RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
            const std::vector<uint32_t> afterClick = ListRowPixels(window);
            EXPECT_NE(afterClick, shown) << "the rows on the screen did not change";
            // A full repaint of the list as it now stands must show nothing new.
            RedrawWindow(CycleList(window), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
            shown = ListRowPixels(window);
            EXPECT_EQ(afterClick, shown) << "the screen still shows rows from before the click";
        }
    });
}

TEST(HeaderClick, SortsByItsOwnColumnAfterBeingDraggedElsewhere)
{
    FillTable(kCycles);
    RunMainWindow([](HWND window) {
        // The user drags "Stop Time" to the far left, which must not sort.
        HWND header = CycleListHeader(window);
        RECT stopTime{}, index{};
        SendMessageA(header, HDM_GETITEMRECT, kStopTimeColumn, reinterpret_cast<LPARAM>(&stopTime));
        SendMessageA(header, HDM_GETITEMRECT, kIndexColumn, reinterpret_cast<LPARAM>(&index));
        POINT from{(stopTime.left + stopTime.right) / 2, (stopTime.top + stopTime.bottom) / 2};
        POINT to{index.left + 5, from.y};
        ClientToScreen(header, &from);
        ClientToScreen(header, &to);
        ASSERT_TRUE(DragMouse(window, from, to));
        // The header lays its items out anew only once the drag's aftermath has been handled.
        const auto moved = [&] {
            SendMessageA(header, HDM_GETITEMRECT, kStopTimeColumn, reinterpret_cast<LPARAM>(&stopTime));
            return stopTime.left == 0;
        };
        ASSERT_TRUE(moved() || PumpUntil(window, [&](const MSG&) { return moved(); }))
            << "the drag did not move the column to the far left";
        EXPECT_EQ(ListRows(window), kRows);

        ASSERT_TRUE(ClickColumnHeader(window, kStopTimeColumn));
        const std::vector<Row> rows = ListRows(window);
        EXPECT_EQ(ColumnOf(rows, kStopTimeColumn), kStopTimesAscending);
        ExpectWholeFilledRows(rows);
        ASSERT_TRUE(ClickColumnHeader(window, kStartDateColumn));
        EXPECT_EQ(ColumnOf(ListRows(window), kStartDateColumn), kStartDatesAscending);
    });
}

TEST(MainWindow, OnlyAHeaderClickFromTheListReordersTheRows)
{
    const struct {
        const char* what;
        UINT_PTR control;
        UINT code;
        bool reorders;
    } notes[] = {
        {"click in the list", kCycleListId, NM_CLICK, false},
        {"double-click in the list", kCycleListId, NM_DBLCLK, false},
        {"selection change in the list", kCycleListId, LVN_ITEMCHANGED, false},
        {"header click from control 101", 101, LVN_COLUMNCLICK, false},
        {"header click from the list", kCycleListId, LVN_COLUMNCLICK, true},
    };
    FillTable(kCycles);
    RunMainWindow([&](HWND window) {
        for (const auto& note : notes) {
            SCOPED_TRACE(note.what);
            NMLISTVIEW notification{};
            notification.hdr = {CycleList(window), note.control, note.code};
            notification.iSubItem = kStartDateColumn;
            notification.uChanged = LVIF_STATE;
            notification.uNewState = LVIS_SELECTED;
            SendMessageA(window, WM_NOTIFY, note.control, reinterpret_cast<LPARAM>(&notification));
            const std::vector<Row> rows = ListRows(window);
            EXPECT_EQ(ColumnOf(rows, kStartDateColumn),
                      note.reorders ? kStartDatesAscending : ColumnOf(kRows, kStartDateColumn));
            ExpectWholeFilledRows(rows);
            EXPECT_EQ(WindowTitle(window), kTwelveTitle);
        }
    });
}

// Clicks the middle of the close box in the caption, found as the mouse would find it.
void ClickCloseBox(HWND window)
{
    RECT frame{};
    GetWindowRect(window, &frame);
    const LONG y = frame.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2;
    LONG right = frame.right - 1;
    while (right > frame.left && SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(right, y)) != HTCLOSE)
        --right;
    ASSERT_GT(right, frame.left) << "no close box in the caption";
    LONG left = right;
    while (SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(left - 1, y)) == HTCLOSE)
        --left;
    ClickAt({(left + right) / 2, y});
}

TEST(MainWindow, EveryWayAUserClosesItEndsTheWindow)
{
    const struct {
        const char* what;
        void (*close)(HWND window);
    } ways[] = {
        {"Escape", [](HWND) { PressKeys({VK_ESCAPE}); }},
        {"Enter on the Close button",
         [](HWND window) {
             SetFocus(GetDlgItem(window, IDCANCEL));
             PressKeys({VK_RETURN});
         }},
        {"Enter in the list",
         [](HWND window) {
             SetFocus(CycleList(window));
             PressKeys({VK_RETURN});
         }},
        {"Alt+F4", [](HWND) { PressKeys({VK_MENU, VK_F4}); }},
        {"Close on the system menu", [](HWND window) { SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"click on the close box", &ClickCloseBox},
        {"click on the Close button",
         [](HWND window) {
             RECT button{};
             GetWindowRect(GetDlgItem(window, IDCANCEL), &button);
             ClickAt({(button.left + button.right) / 2, (button.top + button.bottom) / 2});
         }},
    };
    FillTable(kCycles);
    for (const auto& way : ways) {
        SCOPED_TRACE(way.what);
        RunMainWindow(
            [&](HWND window) {
                SetForegroundWindow(window);
                way.close(window);
            },
            Ending::ByAction);
    }
}

TEST(MainWindow, TabAndShiftTabNeverMoveTheFocusToTheList)
{
    FillTable(kCycles);
    RunMainWindow([](HWND window) {
        SetForegroundWindow(window);
        SetFocus(CycleList(window));  // as a click in it would
        for (bool shift : {false, true, false, true}) {
            SCOPED_TRACE(shift ? "Shift+Tab" : "Tab");
            if (shift)
                PressKeys({VK_SHIFT, VK_TAB});
            else
                PressKeys({VK_TAB});
            const WPARAM lastUp = shift ? VK_SHIFT : VK_TAB;
            ASSERT_TRUE(PumpUntil(window, [&](const MSG& m) { return m.message == WM_KEYUP && m.wParam == lastUp; }));
            EXPECT_EQ(GetFocus(), GetDlgItem(window, IDCANCEL)) << "the Close button is the only tab stop";
        }
    });
}

}  // namespace
