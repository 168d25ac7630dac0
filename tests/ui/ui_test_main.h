// The main() of each desktop test program: a QApplication on the offscreen platform (unless
// the environment asks for another), the program's start-up, then the test object's slots.
// Qt's and fontconfig's caches, runtime files and settings go to a temporary folder of the
// test program, never to the user's home.
#pragma once

#include <QApplication>
#include <QTest>

#include "tests/support/test_support.h"
#include "ui/program.h"

#define KV_UI_TEST_MAIN(TestObject)                                            \
    int main(int argc, char** argv) {                                          \
        kv::test::TempDir xdg;                                                 \
        qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(xdg / "cache"));   \
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(xdg / "data"));     \
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(xdg / "config")); \
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(xdg.Path()));     \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                    \
            qputenv("QT_QPA_PLATFORM", "offscreen");                           \
        int status = 0;                                                        \
        {                                                                      \
            QApplication application(argc, argv);                              \
            kv::InitialiseModules(application);                                \
            application.setQuitOnLastWindowClosed(false);                      \
            TestObject test;                                                   \
            status = QTest::qExec(&test, argc, argv);                          \
        }                                                                      \
        return status;                                                         \
    }
