// kestravo: the desktop program. Starts the modules in their order, sets the application
// title, creates the main window and runs the event loop until that window closes.
#include <QApplication>

#include "ui/main_window.h"
#include "ui/program.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    kv::InitialiseModules(application);
    // The program ends when the main window closes, not when its last window does (a help
    // window may still be open).
    application.setQuitOnLastWindowClosed(false);

    kv::MainWindow window;
    QObject::connect(&window, &kv::MainWindow::Closed, &application, &QApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return application.exec();
}
