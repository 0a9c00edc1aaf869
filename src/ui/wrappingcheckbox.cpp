#include "ui/wrappingcheckbox.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

void WrappingCheckBox::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    const QRect textArea = style()->subElementRect(QStyle::SE_CheckBoxContents, &option, this);

    QStyleOptionButton indicator = option;
    indicator.rect = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);

    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(textArea, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, caption);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = painter.boundingRect(textArea, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, caption)
                         .adjusted(-1, 0, 1, 0);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

bool WrappingCheckBox::hitButton(const QPoint& pos) const
{
    // The whole box answers a click, wrapped caption included.
    return rect().contains(pos);
}
