#include "ui/pin_test_runner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>
#include <QScopedValueRollback>
#include <QTimer>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
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

    // The newest view, for the refresh the worker asked for.
    JobView take() {
        std::lock_guard lock(mutex);
        refreshPending = false;
        return view;
    }
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

PinTestRunner::Result failed(const QString& text, int errorNumber = 0) {
    PinTestRunner::Result result;
    result.errorText = text;
    result.errorNumber = errorNumber;
    return result;
}

// The test itself, on the worker: whatever ends it becomes the result, so nothing escapes the
// thread.
PinTestRunner::Result runJob(const PinTestProfile& profile, PrinterPort& port,
                             SystemPrinter& printer, PinTestObserver& observer,
                             std::stop_token stop) {
    try {
        PinTestRunner::Result result;
        result.outcome = runPinTest(profile, port, printer, &observer, std::move(stop));
        return result;
    } catch (const Error& e) {
        return failed(QString::fromStdString(e.what()), e.errorNumber());
    } catch (const std::exception& e) {
        return failed(QStringLiteral("测试意外中止（%1）。请重新测试。")
                          .arg(QString::fromStdString(e.what())));
    } catch (...) {
        return failed(QStringLiteral("测试意外中止。请重新测试。"));
    }
}

}  // namespace

PinTestRunner::PinTestRunner(PrinterPort& port, SystemPrinter& printer, QWidget* dialogParent)
    : port_(port), printer_(printer), dialogParent_(dialogParent) {}

PinTestRunner::Result PinTestRunner::run(const PinTestProfile& profile) {
    if (running_) {
        return failed(QStringLiteral("上一次测试还没有结束。请等它结束后再测试。"));
    }
    const QScopedValueRollback running(running_, true);

    JobState state;
    std::stop_source stop;
    QEventLoop loop;
    // The window that owns the dialog may go first, when the program ends under a running job.
    const QPointer<ProgressDialog> dialog =
        new ProgressDialog(dialogParent_, [&stop] { stop.request_stop(); });
    const InputBlocker blocker(dialog);

    // Queued refreshes that come after `run` has returned die with this context.
    QObject uiContext;
    bool finished = false;
    JobObserver observer(state, &uiContext, [&] {
        const JobView view = state.take();
        if (dialog) {
            dialog->setView(view);
        }
        finished = view.finished;
        if (finished) {
            loop.quit();
        }
    });
    QTimer::singleShot(kDialogAfter, &uiContext, [&] {
        if (dialog && !finished) {
            dialog->show();
        }
    });

    std::thread worker([&, token = stop.get_token()] {
        observer.finish(runJob(profile, port_, printer_, observer, token));
    });
    loop.exec();
    // The loop ends before the job only when the program is ending: stop the job and wait for it.
    // A stalled port stops at once, and so do the print-server calls of the eject.
    stop.request_stop();
    worker.join();
    delete dialog;
    // Input that reached the program as the job ended goes the way of the rest: the blocker
    // still eats it.
    QCoreApplication::processEvents();
    return state.result;
}

}  // namespace kestrun
