#include <gtest/gtest.h>

#include <QApplication>

#include "ui/application.h"

// The windows need one QApplication for the whole run. ctest sets the offscreen platform; listing
// the tests at build time runs without it, so default to it here as well.
int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    kestrun::prepareApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
