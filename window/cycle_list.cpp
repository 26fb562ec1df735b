// The boot-cycle list: its columns, its one fill from the boot-event table,
// and its sort by the text of a clicked column.

#include <cstring>
#include <string>

#include "history/boot_history.h"
#include "window/main_window.h"

namespace {

// Copies text into a text buffer, cut to what a list text can hold.
char* ToTextBuffer(char* buffer, const std::string& text)
{
    const size_t length = text.size() < kListTextBufferSize - 1 ? text.size() : kListTextBufferSize - 1;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return buffer;
}

// Reads the text of row `row`, column `column` of the list into a text buffer.
void ReadCellText(HWND list, WPARAM row, int column, char* buffer)
{
    LVITEMA cell{};
    cell.iSubItem = column;
    cell.pszText = buffer;
    cell.cchTextMax = kListTextBufferSize;
    buffer[0] = '\0';
    SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
}

}  // namespace

// Inserts the six columns, left-aligned, in order.
void CreateCycleColumns(HWND window)
{
    HWND list = GetDlgItem(window, kCycleListId);
    char text[kListTextBufferSize];
    for (int column = 0; column < kCycleColumnCount; ++column) {
        LVCOLUMNA header{};
        header.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        header.fmt = LVCFMT_LEFT;
        header.cx = kCycleColumns[column].width;
        header.pszText = ToTextBuffer(text, kCycleColumns[column].title);
        header.iSubItem = column;
        SendMessageA(list, LVM_INSERTCOLUMNA, column, reinterpret_cast<LPARAM>(&header));
    }
}

// Inserts one row per filled table row, newest first, each keyed by its
// position. Redrawing is suspended meanwhile: the list would otherwise
// repaint for every text it is given.
void FillCycleList(HWND window)
{
    HWND list = GetDlgItem(window, kCycleListId);
    char text[kListTextBufferSize];
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LVM_SETITEMCOUNT, bootEventCount, 0);
    for (int i = 0; i < bootEventCount; ++i) {
        const CycleRow row = FormCycleRow(i);
        LVITEMA item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = i;
        item.pszText = ToTextBuffer(text, row[kIndexColumn]);
        item.lParam = i;
        const WPARAM index = SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        for (int column = 0; column < kCycleColumnCount; ++column) {
            LVITEMA cell{};
            cell.iSubItem = column;
            cell.pszText = ToTextBuffer(text, row[column]);
            SendMessageA(list, LVM_SETITEMTEXTA, index, reinterpret_cast<LPARAM>(&cell));
        }
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
}

// Orders two rows by the bytes of their texts in the clicked column, as
// unsigned bytes; a text that begins another is the smaller. Always ascending.
// The keys are the rows' positions when the sort began; the sort parameter is
// the click's notification, which names the list and the column.
int CALLBACK CompareCycleRows(LPARAM key1, LPARAM key2, LPARAM sortParameter)
{
    const auto* click = reinterpret_cast<const NMLISTVIEW*>(sortParameter);
    char text1[kListTextBufferSize];
    char text2[kListTextBufferSize];
    ReadCellText(click->hdr.hwndFrom, key1, click->iSubItem, text1);
    ReadCellText(click->hdr.hwndFrom, key2, click->iSubItem, text2);
    const int order = std::strcmp(text1, text2);
    return order > 0 ? 1 : order < 0 ? -1 : 0;
}

// Gives every row its position as key again, as the next sort needs.
void RenumberRowKeys(HWND list)
{
    const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    for (int position = 0; position < count; ++position) {
        LVITEMA item{};
        item.mask = LVIF_PARAM;
        item.iItem = position;
        item.lParam = position;
        SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
}
