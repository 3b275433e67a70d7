// What screen readers are told about the window's own controls: sliders read in the
// listener's units, texts read by their content, level meters that carry no value (ten
// changes a second would flood the reader).
#pragma once

// Registers the interfaces once for the application.
void InstallAccessibleControls();
