#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "platform/qt/qt_url_opener.h"

namespace kestrun::testing {
namespace {

// Qt hands URLs to xdg-open, found on PATH. Qt remembers the handler it finds for the rest of the
// process, so both cases run in one test: first with nothing on PATH (the user is told which URL
// failed), then with a stand-in there that records what it was given.
TEST(QtUrlOpenerOnADesktop, ReportsAMissingHandlerThenHandsTheUrlOverAsOneArgument) {
    ASSERT_NE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    QTemporaryDir bin;
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()));
    qunsetenv("BROWSER");
    qunsetenv("DEFAULT_BROWSER");
    QtUrlOpener opener;
    const std::string site = "http://www.vorna-printers.example/";
    try {
        opener.open(site);
        ADD_FAILURE() << "opening succeeded with no handler";
    } catch (const UrlOpenError& e) {
        EXPECT_NE(std::string(e.what()).find(site), std::string::npos) << e.what();
    }

    const QByteArray record = QFile::encodeName(bin.filePath(QStringLiteral("opened")));
    QFile script(bin.filePath(QStringLiteral("xdg-open")));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    // Written aside and renamed, so the test never reads half a record.
    script.write("#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" + record + ".part' && /bin/mv '" +
                 record + ".part' '" + record + "'\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Characters a shell would act on must reach the handler untouched.
    const std::string url = site + "a;b&c=$(x)'y'";
    opener.open(url);
    QFile opened(QFile::decodeName(record));
    ASSERT_TRUE(QTest::qWaitFor([&] { return opened.exists(); }, 10000)) << "xdg-open never ran";
    ASSERT_TRUE(opened.open(QIODevice::ReadOnly));
    EXPECT_EQ(opened.readAll(), "1|" + QUrl(QString::fromStdString(url)).toEncoded());
    qputenv("PATH", savedPath);
}

}  // namespace
}  // namespace kestrun::testing

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
