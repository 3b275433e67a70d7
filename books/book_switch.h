// Five books, one per tab: switching puts the current one away and resumes the other.
#pragma once

// The listener selected tab index.
void SwitchBook(int index);
// Resumes book app.settings.currentBook: its folder listed, its file playing from the stored byte.
void LoadBook();
