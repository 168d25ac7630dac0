#include "ui/program.h"

#include <QApplication>

#include "ui/look.h"

namespace kv {

void InitialiseModules(QApplication& application) {
    // The style, the faces and the tooltip delays of every window. The update client's
    // start-up (clearing its callbacks) joins here when it comes.
    InstallApplicationLook(application);
    QApplication::setApplicationName("kestravo");
    QApplication::setApplicationDisplayName(kApplicationTitle);
}

}  // namespace kv
