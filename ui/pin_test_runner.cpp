#include "ui/pin_test_runner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

#include "ui/input_blocker.h"
#include "ui/progress_dialog.h"

namespace kestrun {
namespace {

using namespace std::chrono_literals;

// A printer that takes the page at once should not flash a dialog at the user.
constexpr auto kDialogAfter = 500ms;

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
                      .errorNumber = 0};
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
