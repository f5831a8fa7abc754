#include "ui/pin_test_job.h"

#include <QMetaObject>

namespace kestrun {

PinTestJob::PinTestJob(const PinTestProfile& profile, PrinterPort& port, SystemPrinter& printer,
                       QObject* parent)
    : QObject(parent), profile_(profile), port_(port), printer_(printer) {}

// The thread is stopped and joined before the QObject goes, which drops what it still posted.
PinTestJob::~PinTestJob() = default;

void PinTestJob::start() {
    worker_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

void PinTestJob::stop() {
    worker_.request_stop();
}

void PinTestJob::run(std::stop_token stop) {
    // Whatever ends the run is handed to the user-interface thread: nothing escapes this one.
    PinTestOutcome outcome = PinTestOutcome::Completed;
    std::exception_ptr error;
    try {
        outcome = runPinTest(profile_, port_, printer_, this, std::move(stop));
    } catch (...) {
        error = std::current_exception();
    }
    // After every refresh already asked for, since queued calls keep their order.
    QMetaObject::invokeMethod(
        this, [this, outcome, error] { emit finished(outcome, error); }, Qt::QueuedConnection);
}

void PinTestJob::progress(std::size_t sent, std::size_t total) {
    update([&](JobView& view) {
        view.sent = sent;
        view.total = total;
        view.stalled = false;
    });
}

void PinTestJob::stalled(const std::optional<PortStatus>& status) {
    update([&](JobView& view) {
        view.stalled = true;
        view.status = status;
    });
}

void PinTestJob::ejecting() {
    update([](JobView& view) {
        view.stalled = false;
        view.ejecting = true;
    });
}

template <typename Change>
void PinTestJob::update(Change change) {
    std::lock_guard lock(mutex_);
    change(view_);
    if (refreshPending_) {
        return;
    }
    refreshPending_ = true;
    QMetaObject::invokeMethod(this, &PinTestJob::refresh, Qt::QueuedConnection);
}

void PinTestJob::refresh() {
    JobView view;
    {
        std::lock_guard lock(mutex_);
        refreshPending_ = false;
        view = view_;
    }
    emit viewChanged(view);
}

}  // namespace kestrun
