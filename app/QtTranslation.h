// Qt's own texts (message box buttons, the file dialog) in Chinese, like the rest of the tool.
#pragma once

// Loads Qt's Simplified Chinese translation from Qt's translation folder into the running
// application, whatever the machine's locale. Returns false when the file is missing or
// unreadable; the tool then runs with Qt's English texts.
bool InstallQtChineseTranslation();
