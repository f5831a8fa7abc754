#pragma once

#include <QObject>
#include <exception>
#include <mutex>
#include <thread>

#include "pintest/run_pin_test.h"
#include "ui/progress_dialog.h"

namespace kestrun {

// One pin test, run on a thread of its own so that the windows keep painting. Made on the
// user-interface thread, it reports there: viewChanged as the run goes, then finished once. The
// port and the printer outlive the job; a job destroyed while it runs stops the run and waits for
// it, which a stalled printer ends at once.
class PinTestJob final : public QObject, private PinTestObserver {
    Q_OBJECT
public:
    PinTestJob(const PinTestProfile& profile, PrinterPort& port, SystemPrinter& printer,
               QObject* parent = nullptr);
    ~PinTestJob() override;

    void start();
    // Asks the run to stop: at the next line end, or at once while the printer takes nothing.
    void stop();

signals:
    void viewChanged(const JobView& view);
    // How the run ended: `error` holds what ended it, if anything did; `outcome` is meaningful
    // only without it.
    void finished(PinTestOutcome outcome, std::exception_ptr error);

private:
    void run(std::stop_token stop);
    // On the run's thread. Progress can come thousands of times a second from a fast port, so
    // the run records only the latest state and asks for one refresh at a time; the refresh shows
    // the newest state, so reports cannot overtake one another.
    void progress(std::size_t sent, std::size_t total) override;
    void stalled(const std::optional<PortStatus>& status) override;
    void ejecting() override;
    template <typename Change>
    void update(Change change);
    void refresh();

    const PinTestProfile& profile_;
    PrinterPort& port_;
    SystemPrinter& printer_;
    std::mutex mutex_;  // guards view_ and refreshPending_
    JobView view_;
    bool refreshPending_ = false;
    std::jthread worker_;  // last: stopped and joined before the rest goes
};

}  // namespace kestrun
