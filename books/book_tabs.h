// The book tabs: each names its book's folder, cut to eight characters; its tip gives the whole
// name and, once the book has been heard in this run, the place heard last.
#pragma once

#include <string>

#include "engine/bass.h"

// At start: every tab from its book's slot.
void LabelBookTabs();
// Tab `book` now names the folder (a path, file system bytes).
void LabelBookTab(int book, const std::string& folder);
// After each tick: the place at position in the current stream goes into the current book's tip.
void ShowPlaceInTab(QWORD position);
