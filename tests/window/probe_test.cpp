#include <gtest/gtest.h>
#include <cstdio>
#include "tests/window/window_driver.h"
#include "history/boot_history.h"
#include "window/main_window.h"

TEST(Probe, Behaviour)
{
    FillTable({{"2024/05/20 09:15:00", ""}, {"2024/05/19 22:40:10", "2024/05/20 01:05:00"}});
    RunMainWindow([](HWND w) {
        RECT wr, cr, wa;
        GetWindowRect(w, &wr); GetClientRect(w, &cr);
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &wa, 0);
        printf("window %ld %ld %ld %ld client %ld %ld workarea %ld %ld %ld %ld screen %d %d\n", wr.left, wr.top, wr.right, wr.bottom, cr.right, cr.bottom, wa.left, wa.top, wa.right, wa.bottom, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        RECT du = DialogUnitsToPixels(w, {0,0,360,235});
        printf("du %ld %ld\n", du.right, du.bottom);
        printf("fg %p w %p focus %p close %p list %p active %p\n", GetForegroundWindow(), w, GetFocus(), GetDlgItem(w, 2), CycleList(w), GetActiveWindow());
        printf("style %lx\n", GetWindowLongA(w, GWL_STYLE));
        for (int x = wr.right - 1; x > wr.right - 60; x -= 2) {
            LRESULT h = SendMessageA(w, WM_NCHITTEST, 0, MAKELPARAM(x, wr.top + 10));
            printf("%d:%ld ", x, (long)h);
        }
        printf("\nedge %ld %ld\n", (long)SendMessageA(w, WM_NCHITTEST, 0, MAKELPARAM(wr.right - 1, wr.bottom - 1)), (long)SendMessageA(w, WM_NCHITTEST, 0, MAKELPARAM(wr.right - 1, (wr.top+wr.bottom)/2)));
        SendMessageA(w, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
        RECT after; GetWindowRect(w, &after);
        printf("after max %ld %ld %ld %ld zoomed %d\n", after.left, after.top, after.right, after.bottom, IsZoomed(w));
        HMENU sys = GetSystemMenu(w, FALSE);
        printf("sysmenu max %x size %x close %x\n", GetMenuState(sys, SC_MAXIMIZE, MF_BYCOMMAND), GetMenuState(sys, SC_SIZE, MF_BYCOMMAND), GetMenuState(sys, SC_CLOSE, MF_BYCOMMAND));
        RECT lr = ChildRect(CycleList(w));
        printf("list %ld %ld %ld %ld\n", lr.left, lr.top, lr.right, lr.bottom);
        LOGFONTA lf; GetObjectA((HFONT)SendMessageA(w, WM_GETFONT, 0, 0), sizeof lf, &lf);
        printf("font %s %ld\n", lf.lfFaceName, lf.lfHeight);
        SCROLLINFO si{sizeof si, SIF_ALL};
        printf("vscroll %d style %lx\n", GetScrollInfo(CycleList(w), SB_VERT, &si), GetWindowLongA(CycleList(w), GWL_STYLE));
    });
}
