#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "platform/qt/qt_url_opener.h"

namespace kestrun::testing {
namespace {

// Qt hands URLs to xdg-open, found on PATH; a stand-in there records what it was given.
class QtUrlOpenerOnADesktop : public ::testing::Test {
protected:
    QTemporaryDir bin;
    QByteArray savedPath = qgetenv("PATH");

    void SetUp() override {
        ASSERT_TRUE(bin.isValid());
        qputenv("PATH", QFile::encodeName(bin.path()));
        qunsetenv("BROWSER");
        qunsetenv("DEFAULT_BROWSER");
    }

    void TearDown() override { qputenv("PATH", savedPath); }

    QString recordPath() const { return bin.filePath(QStringLiteral("opened")); }

    void installXdgOpen() {
        const QByteArray record = QFile::encodeName(recordPath());
        QFile script(bin.filePath(QStringLiteral("xdg-open")));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        // Written aside and renamed, so the test never reads half a record.
        script.write("#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" + record +
                     ".part' && /bin/mv '" + record + ".part' '" + record + "'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

// Qt remembers the handler it finds for the rest of the process, so both cases run in one test:
// first with nothing on PATH, then with the stand-in.
TEST_F(QtUrlOpenerOnADesktop, ReportsAMissingHandlerThenHandsTheUrlOverAsOneArgument) {
    ASSERT_NE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    QtUrlOpener opener;
    EXPECT_THROW(opener.open("http://www.vorna-printers.example/"), UrlOpenError);

    installXdgOpen();
    // Characters a shell would act on must reach the handler untouched.
    const std::string url = "http://www.vorna-printers.example/a;b&c=$(x)'y'";
    opener.open(url);

    QFile record(recordPath());
    ASSERT_TRUE(QTest::qWaitFor([&] { return record.exists(); }, 10000)) << "xdg-open never ran";
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    EXPECT_EQ(record.readAll(), "1|" + QUrl(QString::fromStdString(url)).toEncoded());
}

}  // namespace
}  // namespace kestrun::testing

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
