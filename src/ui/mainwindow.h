#pragma once

#include "ui/mainwindowcontrols.h"

#include <QWidget>

// The program's one window: fixed controls at fixed places, each push button
// bound to its click handler. It holds no program logic of its own.
class MainWindow : public QWidget {
public:
    MainWindow();
    ~MainWindow() override;

    MainWindowControls& windowControls() { return controls_; }

    // The outer rectangle, frame included, that the window keeps.
    static constexpr QRect outerRect{50, 50, 361, 345};

protected:
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void wireEvents();
    void fitFrameToOuterRect();

    MainWindowControls controls_;
};
