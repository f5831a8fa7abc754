#include "ui/progress_dialog.h"

#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

namespace kestrun {
QString stallAdvice(const std::optional<PortStatus>& status) {
    // Paper out usually also raises offline and error; the specific cause comes first, and each
    // cause brings the one thing the user can do about it.
    static const struct {
        bool PortStatus::* holds;
        const char* cause;
        const char* remedy;
    } kCauses[] = {
        {&PortStatus::paperOut, "缺纸", "装好打印纸"},
        {&PortStatus::offline, "脱机", "按打印机的“联机”键"},
        {&PortStatus::error, "报告故障", "检查打印机面板上的故障灯（卡纸、机盖未合上等）"},
        {&PortStatus::busy, "忙", "稍候"},
    };
    QStringList causes;
    QStringList remedies;
    for (const auto& [holds, cause, remedy] : kCauses) {
        if (status && (*status).*holds) {
            causes << QString::fromUtf8(cause);
            remedies << QString::fromUtf8(remedy);
        }
    }
    if (causes.isEmpty()) {
        return QStringLiteral(
            "打印机没有接收数据。请检查打印机是否开机、联机、装好了纸，以及电缆是否接好；"
            "测试页会从中断处继续打印。");
    }
    return QStringLiteral("打印机%1。请%2，测试页会从中断处继续打印。")
        .arg(causes.join(QStringLiteral("、")), remedies.join(QStringLiteral("，")));
}

ProgressDialog::ProgressDialog(QWidget* parent, std::function<void()> onCancel)
    : QDialog(parent), onCancel_(std::move(onCancel)) {
    setObjectName(QStringLiteral("pinTestProgress"));
    setWindowTitle(QStringLiteral("打印测试页"));
    setAccessibleName(QStringLiteral("打印测试页"));
    setAccessibleDescription(
        QStringLiteral("测试页发送到打印机的进度；打印机没有接收数据时，这里说明原因"));
    setWindowModality(Qt::ApplicationModal);
    setMinimumWidth(380);

    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("message"));
    message_->setWordWrap(true);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progress"));
    bar_->setAccessibleName(QStringLiteral("发送进度"));
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    cancel_ = new QPushButton(QStringLiteral("取消"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message_);
    layout->addWidget(bar_);
    layout->addWidget(status_);
    layout->addWidget(cancel_, 0, Qt::AlignRight);
    render();
}

void ProgressDialog::setView(const JobView& view) {
    view_ = view;
    render();
}

void ProgressDialog::reject() {
    if (stopping_) {
        return;
    }
    stopping_ = true;
    onCancel_();
    render();
}

void ProgressDialog::render() {
    if (view_.ejecting) {
        message_->setText(QStringLiteral("测试页已发送，正在让打印机退纸……"));
    } else if (stopping_ && view_.stalled) {
        message_->setText(QStringLiteral("正在停止……"));
    } else if (stopping_) {
        message_->setText(QStringLiteral("正在停止：打印完当前这一行就停止……"));
    } else {
        message_->setText(QStringLiteral("正在向打印机发送测试页……"));
    }
    // A page is a few kilobytes, far below the range of int. Never the range 0..0: Qt animates
    // that as "busy", repainting many times a second for as long as a printer stays stalled.
    bar_->setRange(0, std::max(static_cast<int>(view_.total), 1));
    bar_->setValue(static_cast<int>(view_.sent));
    bar_->setFormat(view_.total > 0 ? QStringLiteral("已发送 %v / %m 字节")
                                    : QStringLiteral("已发送 %v 字节"));
    status_->setVisible(view_.stalled);
    status_->setText(view_.stalled ? stallAdvice(view_.status) : QString());
    // The page is out: a Cancel now would only leave the sheet in the printer.
    cancel_->setEnabled(!stopping_ && !view_.ejecting);
    // A window does not grow by itself when a wrapped text gets longer: make room for it, or
    // the advice the user needs is cut off.
    layout()->activate();
    const int needed = heightForWidth(width());
    if (needed > height()) {
        resize(width(), needed);
    }
}

}  // namespace kestrun
