#pragma once

#include <QDialog>

class QPaintEvent;

namespace kestrun {

// The instructions page: thanks, the printer models the tests are meant for, and a reminder to
// connect the printer and install its driver. Static text over the banner; the user closes it
// through the window frame.
class InstructionsWindow final : public QDialog {
    Q_OBJECT
public:
    explicit InstructionsWindow(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace kestrun
