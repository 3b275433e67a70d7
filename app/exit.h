// The exit: free the engine, save, end the window. Close box, Exit, signals and the
// sleep timer all come here.
#pragma once

void ExitApp();
