// Files and folders dragged from a file manager onto the window.
#pragma once

// Lets the whole window of app.mainWindow (list, tabs, anywhere) take a dropped file or
// folder: the first one dropped opens for the current book.
void AcceptDroppedFiles();
