// The main() of each desktop test program: a QApplication on the offscreen platform (unless
// the environment asks for another), the program's start-up, then the test object's slots.
#pragma once

#include <QApplication>
#include <QTest>

#include "ui/program.h"

#define KV_UI_TEST_MAIN(TestObject)                         \
    int main(int argc, char** argv) {                       \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) \
            qputenv("QT_QPA_PLATFORM", "offscreen");        \
        QApplication application(argc, argv);               \
        kv::InitialiseModules(application);                 \
        application.setQuitOnLastWindowClosed(false);       \
        TestObject test;                                    \
        return QTest::qExec(&test, argc, argv);             \
    }
