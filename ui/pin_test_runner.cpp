#include "ui/pin_test_runner.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cerrno>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

namespace kestrun {
namespace {

using namespace std::chrono_literals;

// A printer that takes the page at once should not flash a dialog at the user.
constexpr auto kDialogAfter = 500ms;

// How the job stands, as the user-interface thread last learned it.
struct JobView {
    std::size_t sent = 0;
    std::size_t total = 0;
    bool stalled = false;
    std::optional<PortStatus> status;
    bool ejecting = false;
    bool finished = false;
};

// Written by the worker, read by the user-interface thread.
struct JobState {
    std::mutex mutex;
    JobView view;
    PinTestRunner::Result result;
    bool refreshPending = false;
};

// Runs on the worker. Progress can come thousands of times a second from a fast port, so the
// worker only records the latest state and asks the user-interface thread for one refresh at a
// time; the refresh always shows the newest state, so reports cannot overtake one another.
class JobObserver final : public PinTestObserver {
public:
    JobObserver(JobState& state, QObject* uiContext, std::function<void()> refresh)
        : state_(state), uiContext_(uiContext), refresh_(std::move(refresh)) {}

    void progress(std::size_t sent, std::size_t total) override {
        update([&](JobView& view) {
            view.sent = sent;
            view.total = total;
            view.stalled = false;
        });
    }

    void stalled(const std::optional<PortStatus>& status) override {
        update([&](JobView& view) {
            view.stalled = true;
            view.status = status;
        });
    }

    void ejecting() override {
        update([](JobView& view) {
            view.stalled = false;
            view.ejecting = true;
        });
    }

    void finish(PinTestRunner::Result result) {
        update([&](JobView& view) { view.finished = true; }, std::move(result));
    }

private:
    template <typename Change>
    void update(Change change, std::optional<PinTestRunner::Result> result = std::nullopt) {
        bool post = false;
        {
            std::lock_guard lock(state_.mutex);
            change(state_.view);
            if (result) {
                state_.result = std::move(*result);
            }
            post = !std::exchange(state_.refreshPending, true);
        }
        if (post) {
            QMetaObject::invokeMethod(uiContext_, refresh_, Qt::QueuedConnection);
        }
    }

    JobState& state_;
    QObject* uiContext_;
    std::function<void()> refresh_;
};

QString stallText(const std::optional<PortStatus>& status) {
    if (status) {
        return QString::fromStdString(describePortStatus(*status));
    }
    return QStringLiteral(
        "打印机没有接收数据。请检查打印机是否开机、联机、装好了纸，以及电缆是否接好；"
        "测试页会从中断处继续打印。");
}

// The job's progress dialog. It never closes itself: Cancel, Esc and the window's close button
// only ask the job to stop, and the dialog goes away once the job has really ended, so the user
// cannot start anything while the port is still open.
class ProgressDialog final : public QDialog {
public:
    ProgressDialog(QWidget* parent, std::function<void()> onCancel)
        : QDialog(parent), onCancel_(std::move(onCancel)) {
        setObjectName(QStringLiteral("pinTestProgress"));
        setWindowTitle(QStringLiteral("打印测试页"));
        setWindowModality(Qt::ApplicationModal);
        setMinimumWidth(380);

        message_ = new QLabel(this);
        message_->setObjectName(QStringLiteral("message"));
        message_->setWordWrap(true);
        bar_ = new QProgressBar(this);
        bar_->setObjectName(QStringLiteral("progress"));
        bar_->setFormat(QStringLiteral("已发送 %v / %m 字节"));
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

    void setView(const JobView& view) {
        view_ = view;
        render();
    }

    // Esc and the window's close button come here too.
    void reject() override {
        if (stopping_) {
            return;
        }
        stopping_ = true;
        onCancel_();
        render();
    }

private:
    void render() {
        if (view_.ejecting) {
            message_->setText(QStringLiteral("测试页已发送，正在让打印机退纸……"));
        } else if (stopping_ && view_.stalled) {
            message_->setText(QStringLiteral("正在停止……"));
        } else if (stopping_) {
            message_->setText(QStringLiteral("正在停止：打印完当前这一行就停止……"));
        } else {
            message_->setText(QStringLiteral("正在向打印机发送测试页……"));
        }
        // A page is a few kilobytes, far below the range of int.
        bar_->setRange(0, static_cast<int>(view_.total));
        bar_->setValue(static_cast<int>(view_.sent));
        status_->setVisible(view_.stalled);
        status_->setText(view_.stalled ? stallText(view_.status) : QString());
        // The printer calls cannot be interrupted; a Cancel now would promise what cannot happen.
        cancel_->setEnabled(!stopping_ && !view_.ejecting);
        // A window does not grow by itself when a wrapped text gets longer: make room for it, or
        // the advice the user needs is cut off.
        layout()->activate();
        const int needed = heightForWidth(width());
        if (needed > height()) {
            resize(width(), needed);
        }
    }

    std::function<void()> onCancel_;
    JobView view_;
    bool stopping_ = false;
    QLabel* message_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

bool isUserInput(const QEvent& event) {
    switch (event.type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::InputMethod:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        case QEvent::Close:
            // The window manager's close button; closing the main window would end the program
            // under a running job.
            return event.spontaneous();
        default:
            return false;
    }
}

// Eats user input for every window but the progress dialog while a job runs. The dialog's
// modality alone is not enough: it appears only after half a second, and input held back by an
// event loop that excludes it would be delivered after the job and start a second command. Input
// eaten here is gone for good.
class InputBlocker final : public QObject {
public:
    explicit InputBlocker(QWidget* allowed) : allowed_(allowed) { qApp->installEventFilter(this); }
    ~InputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        return isUserInput(*event) && !isAllowed(watched);
    }

private:
    bool isAllowed(QObject* target) const {
        if (allowed_ == nullptr) {
            return false;
        }
        for (QObject* object = target; object != nullptr; object = object->parent()) {
            if (object == allowed_ ||
                (object->isWindowType() && object == allowed_->windowHandle())) {
                return true;
            }
        }
        return false;
    }

    QPointer<QWidget> allowed_;
};

}  // namespace

PinTestRunner::PinTestRunner(PrinterPort& port, SystemPrinter& printer, QWidget* dialogParent)
    : port_(port), printer_(printer), dialogParent_(dialogParent) {}

PinTestRunner::~PinTestRunner() {
    // Only reached with a job running if the runner is destroyed from inside its own run.
    if (worker_.joinable()) {
        worker_.request_stop();
        worker_.join();
    }
}

PinTestRunner::Result PinTestRunner::run(const PinTestProfile& profile) {
    if (worker_.joinable()) {
        return Result{.outcome = PinTestOutcome::Completed,
                      .errorText = QStringLiteral("上一次测试还没有结束。请等它结束后再测试。"),
                      .errorNumber = EBUSY};
    }

    JobState state;
    QObject uiContext;
    QEventLoop loop;
    // The worker's own; set once it runs, before any click can reach the dialog.
    std::stop_source stop(std::nostopstate);
    QPointer<ProgressDialog> dialog =
        new ProgressDialog(dialogParent_, [&stop] { stop.request_stop(); });
    const InputBlocker blocker(dialog);

    bool finished = false;
    auto refresh = [&] {
        JobView view;
        {
            std::lock_guard lock(state.mutex);
            view = state.view;
            state.refreshPending = false;
        }
        if (dialog) {
            dialog->setView(view);
        }
        if (view.finished) {
            finished = true;
            loop.quit();
        }
    };
    JobObserver observer(state, &uiContext, refresh);

    QTimer::singleShot(kDialogAfter, &uiContext, [&] {
        if (!finished && dialog) {
            dialog->show();
        }
    });

    worker_ = std::jthread(
        [&observer, &profile, &port = port_, &printer = printer_](std::stop_token token) {
            Result result;
            try {
                result.outcome = runPinTest(profile, port, printer, &observer, token);
            } catch (const Error& e) {
                result.errorText = QString::fromStdString(e.what());
                result.errorNumber = e.errorNumber();
            } catch (const std::exception& e) {
                result.errorText = QStringLiteral("测试意外中止（%1）。请重新测试。")
                                       .arg(QString::fromStdString(e.what()));
            } catch (...) {
                result.errorText = QStringLiteral("测试意外中止。请重新测试。");
            }
            observer.finish(std::move(result));
        });
    stop = worker_.get_stop_source();

    const QPointer<PinTestRunner> self(this);
    loop.exec();
    if (!finished) {
        // The application is ending and runs no more event loops. Stop the job and wait for it
        // here: a stalled port stops at once, and every print-server call has a time limit.
        stop.request_stop();
    }
    if (dialog) {
        dialog->hide();
        delete dialog;
    }
    if (self) {
        worker_.join();
    }
    // Input that reached the application while the job ended goes the same way as the rest.
    QCoreApplication::processEvents();

    std::lock_guard lock(state.mutex);
    return state.result;
}

}  // namespace kestrun
