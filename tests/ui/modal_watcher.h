#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace kestrun::testing {

// Deals with modal windows from inside the event loop they run: each time one shows, hands it to
// `handle`, which should make it go away. Lets a test click a button whose command waits for a
// modal window. A window that is still showing after five seconds is closed, and the test fails,
// so a wrong answer cannot hang the run.
class ModalWatcher : public QObject {
public:
    explicit ModalWatcher(std::function<void(QWidget*)> handle) : handle_(std::move(handle)) {
        connect(&timer_, &QTimer::timeout, this, [this] { check(); });
        timer_.start(kTick);
    }

    int handled() const { return handled_; }

private:
    static constexpr int kTick = 10;
    static constexpr int kPatienceTicks = 5000 / kTick;

    void check() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) {
            current_ = nullptr;
            return;
        }
        if (modal != current_) {
            current_ = modal;
            ticks_ = 0;
            ++handled_;
            handle_(modal);
            // Gone at once: the next showing, even of the same window, is a new one.
            if (current_ && !current_->isVisible()) {
                current_ = nullptr;
            }
        } else if (++ticks_ > kPatienceTicks) {
            ADD_FAILURE() << "modal window " << modal->windowTitle().toStdString()
                          << " did not go away";
            modal->close();
        }
    }

    std::function<void(QWidget*)> handle_;
    QTimer timer_;
    QPointer<QWidget> current_;
    int ticks_ = 0;
    int handled_ = 0;
};

}  // namespace kestrun::testing
