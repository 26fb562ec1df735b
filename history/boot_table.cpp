// The boot-event table: one row per boot marker, newest first, each with the
// text of its stop marker when the scan met one.

#include <cstring>

#include "history/boot_history.h"

BootEventRow bootEventTable[kBootEventCapacity];
int bootEventCount = 0;

// Empties every row and sets bootEventCount to 0. Only rows up to the first
// free one can have been written, so only those are cleared: a fresh table
// costs nothing, and its untouched pages are never brought in.
void ResetBootEventTable()
{
    const int written = bootEventCount < kBootEventCapacity ? bootEventCount + 1 : kBootEventCapacity;
    std::memset(bootEventTable, 0, written * sizeof bootEventTable[0]);
    bootEventCount = 0;
}

// Fills startText of the first free row and moves the count on. A full table
// ignores further starts, so no row past the last is ever written.
void StoreBootStart(const EventTimeText& text)
{
    if (bootEventCount >= kBootEventCapacity)
        return;
    bootEventTable[bootEventCount].startText = text;
    ++bootEventCount;
}

// Sets stopText of the first free row; an older stop met before the next boot
// replaces a newer one. A full table has no free row, so the stop is ignored.
void StoreBootStop(const EventTimeText& text)
{
    if (bootEventCount >= kBootEventCapacity)
        return;
    bootEventTable[bootEventCount].stopText = text;
}
