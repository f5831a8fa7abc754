#include <gtest/gtest.h>

#include <QCoreApplication>

// What the program reports (set by prepareApplication, test_main.cpp) is the project's version;
// version_check.cmake holds the package and the metainfo to it.
TEST(ProgramVersion, IsTheProjectVersion) {
    EXPECT_EQ(QCoreApplication::applicationVersion().toStdString(), KESTRUN_VERSION);
}
