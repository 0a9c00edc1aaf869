#pragma once

#include <QCheckBox>

// A check box whose caption wraps onto more lines when it is wider than the
// box, as the narrow 是否区分大小写 box needs. QCheckBox draws one line only.
class WrappingCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};
