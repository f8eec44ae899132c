// GoogleTest with a QApplication on the offscreen platform and the Qt main loop installed,
// as the program has them; audio goes to the clock-paced null device.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/main_thread.h"
#include "platform/qt_main_loop.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("ZENTU_AUDIO", "null", 0);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    zentu::TQtMainLoop loop;
    zentu::SetMainLoop(&loop);
    const int result = RUN_ALL_TESTS();
    zentu::SetMainLoop(nullptr);
    return result;
}
