// The start of the desktop program, shared by main() and the tests.
#pragma once

class QApplication;

namespace kv {

// The application's title.
inline constexpr const char* kApplicationTitle = "Kestravo antivirus 32bit";

// Starts the modules in their fixed order (today: the look of every window) and sets the
// application title. Called once, before the main window is created.
void InitialiseModules(QApplication& application);

}  // namespace kv
