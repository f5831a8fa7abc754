#include "platform/qt/qt_url_opener.h"

#include <QProcess>
#include <QString>
#include <QUrl>

namespace kestrun {

void QtUrlOpener::open(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    // Qt reports no reason for a failure; the usual one is a system without xdg-open.
    if (!parsed.isValid() ||
        !QProcess::startDetached(QStringLiteral("xdg-open"), {parsed.toString()})) {
        throw UrlOpenError(0, "无法打开网址 " + url +
                                  "：系统里没有找到能打开网页的程序。请安装网页浏览器和 xdg-utils "
                                  "后再试，或者把这个网址复制到浏览器里打开。");
    }
}

}  // namespace kestrun
