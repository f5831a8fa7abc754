#include "ui/instructions_window.h"

#include <QColor>
#include <QLabel>
#include <QPainter>
#include <QString>
#include <QStringList>

#include "ui/application.h"
#include "ui/fonts.h"
#include "ui/twips.h"

namespace kestrun {
namespace {

// The 24-pin models, as the maker lists them: eleven names, a CR LF and one blank, then the rest.
// VK-35 appears twice in the maker's list and stays that way.
QString twentyFourPinModels() {
    const QStringList firstLine = {
        QStringLiteral("VP-240"), QStringLiteral("VP-241"), QStringLiteral("VP-242"),
        QStringLiteral("VP-243"), QStringLiteral("VP-245"), QStringLiteral("VP-246"),
        QStringLiteral("VP-248"), QStringLiteral("VP-250"), QStringLiteral("VP-255"),
        QStringLiteral("VP-260"), QStringLiteral("VP-265"),
    };
    const QStringList rest = {
        QStringLiteral("VP-240K"), QStringLiteral("VP-250K"), QStringLiteral("VP-260K"),
        QStringLiteral("VT-61"),   QStringLiteral("VT-62"),   QStringLiteral("VT-63"),
        QStringLiteral("VT-65"),   QStringLiteral("VT-66"),   QStringLiteral("VT-68"),
        QStringLiteral("VT-69"),   QStringLiteral("VT-72"),   QStringLiteral("VT-75"),
        QStringLiteral("VK-30"),   QStringLiteral("VK-31"),   QStringLiteral("VK-32"),
        QStringLiteral("VK-35"),   QStringLiteral("VK-36"),   QStringLiteral("VK-38"),
        QStringLiteral("VK-35"),   QStringLiteral("VK-39"),   QStringLiteral("VS-16"),
        QStringLiteral("VS-18"),   QStringLiteral("VS-20"),   QStringLiteral("VS-22"),
        QStringLiteral("VS-26"),
    };
    return firstLine.join(u' ') + QStringLiteral("\r\n ") + rest.join(u' ') +
           QStringLiteral(" ...等等");
}

QLabel* addLabel(QWidget* parent, const char* name, const QString& caption, const QRect& geometry,
                 const QString& family, bool wrap = false) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(wrap);
    label->setGeometry(geometry);
    fitCaption(*label, family, 10.5);
    return label;
}

}  // namespace

InstructionsWindow::InstructionsWindow(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("使用说明"));
    setWindowTitle(QStringLiteral("使用说明"));
    setAccessibleName(QStringLiteral("使用说明"));
    setAccessibleDescription(
        QStringLiteral("本软件适用的 24 针和 9 针打印机机型，以及连接打印机、安装驱动的提醒"));
    // The ground below the banner: the light grey of the desktop the layout was drawn on.
    useFixedColours(*this, QColor(240, 240, 240));
    setWindowIcon(programIcon());
    setFixedSize(twipsToPixels(10695), twipsToPixels(4380));

    // Created in tab order. The labels have no background of their own: the banner shows through.
    addLabel(this, "Label1", QStringLiteral("首先感谢您对本软件的支持"),
             twipsRect(960, 240, 3255, 255), kSongFamily);
    addLabel(this, "Label2", QStringLiteral("24针机型:"), twipsRect(960, 720, 1095, 375),
             kSongFamily);
    addLabel(this, "Label3", twentyFourPinModels(), twipsRect(2160, 720, 3255, 2655),
             kYouYuanFamily, true);
    addLabel(this, "Label4", QStringLiteral("9针机型:"), twipsRect(960, 3480, 1095, 375),
             kSongFamily);
    addLabel(this, "Label5", QStringLiteral("VD-910 VD-920 VD-930 VD-950"),
             twipsRect(2160, 3480, 3375, 375), kYouYuanFamily);
    addLabel(this, "Label6", QStringLiteral("请您务必连接打印机，并安装打印机驱动"),
             twipsRect(960, 3960, 4335, 375), kYouYuanFamily);
}

void InstructionsWindow::paintEvent(QPaintEvent*) {
    // Over the dialog's own background: the banner is a few pixels shorter than the window.
    QPainter(this).drawPixmap(0, 0, picture("banner", *this));
}

}  // namespace kestrun
