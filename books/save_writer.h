// The data files are written on a thread of their own, so a stalled disk or share never holds
// up the window: its thread hands over what to write and goes on at once.
#pragma once

#include <functional>
#include <string>

#include "books/data_file_warning.h"

// Hands a write over. A write under the same key and path not yet started is dropped for this one (the
// latest record wins); writes run one at a time in the order handed over. write() returns 0 or
// an errno value, which reaches NoteWriteOutcome on the window's thread.
void HandOverWrite(const std::string& key, DataFile file, const std::string& path, std::function<int()> write);
// Waits at most timeoutMs for every write handed over; true when all are done.
bool FlushSaves(int timeoutMs);
// Async-signal-safe: has `urgent` run on the writer thread, after the writes handed over before
// it where they can be taken without waiting, never alongside another write; waits for it at
// most waitMs. Runs it here when no writer thread runs, or on the writer thread itself.
void RunUrgentWrite(void (*urgent)(), int waitMs);
