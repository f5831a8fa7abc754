#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "fake_port.h"
#include "platform/message_box.h"
#include "platform/question_box.h"
#include "platform/url_opener.h"

namespace kestrun::testing {

// The desktop's dialogs and browser, writing what they were asked into the port's and printer's
// log ("ask title|text", "error title|text", "info title|text", "url ..."), so a test sees every
// effect of a command, in order, in one place.
class FakeDesktop final : public QuestionBox, public MessageBox, public UrlOpener {
public:
    explicit FakeDesktop(EventLog& log) : log_(log) {}

    Answer answer = Answer::No;
    std::optional<UrlOpenError> urlFailure;

    Answer ask(const std::string& title, const std::string& text) override {
        log_.push_back("ask " + title + "|" + text);
        return answer;
    }
    void show(Kind kind, const std::string& title, const std::string& text) override {
        log_.push_back((kind == Kind::Error ? "error " : "info ") + title + "|" + text);
    }
    void open(const std::string& url) override {
        if (urlFailure) {
            throw *urlFailure;
        }
        log_.push_back("url " + url);
    }

private:
    EventLog& log_;
};

// Hands each modal window that shows, from inside the event loop it runs, to `handle`, which
// should make it go away; one still showing after five seconds fails the test and is closed, so
// a wrong answer cannot hang the run.
class ModalWatcher : public QTimer {
public:
    explicit ModalWatcher(std::function<void(QWidget*)> handle) {
        connect(this, &QTimer::timeout, [this, handle = std::move(handle)] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible()) {
                current_ = nullptr;
            } else if (modal != current_) {
                current_ = modal;
                ticks_ = 0;
                ++handled;
                handle(modal);
                // Gone at once: the next showing, even of the same window, is a new one.
                current_ = modal->isVisible() ? modal : nullptr;
            } else if (++ticks_ > 500) {
                ADD_FAILURE() << modal->windowTitle().toStdString() << " did not go away";
                modal->close();
            }
        });
        start(10);
    }

    int handled = 0;

private:
    QPointer<QWidget> current_;
    int ticks_ = 0;
};

}  // namespace kestrun::testing
