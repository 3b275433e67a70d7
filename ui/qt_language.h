// Qt's own texts (file dialog, message box buttons, the tab row's scroll buttons) follow the
// window's language.
#pragma once

// Installs Qt's Russian translation once for the application; without the translation
// files Qt's texts stay in English.
void InstallQtRussian();
