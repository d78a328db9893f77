#include "app/form_widgets.h"

#include <QButtonGroup>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QVariant>
#include <algorithm>

TShape::TShape(QWidget* parent) : QWidget(parent) { resize(25, 25); }

void TShape::setBrushColor(const QColor& c)
{
    FColor = c;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(FColor);
    const qreal r = std::min(width(), height()) / 4.0;
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), r, r);
}

void TTabSheet::contextMenuEvent(QContextMenuEvent* e)
{
    if (PopupMenu)
        PopupMenu->popup(e->globalPos());
    else
        e->ignore();
}

void TTabSheet::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w->property("bottomAligned").toBool())
            w->setGeometry(0, height() - w->height(), width(), w->height());
}

void TGroupBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QFontMetrics fm(font());
    const int line = fm.height() / 2;
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(rect().adjusted(0, line, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(rect().adjusted(1, line + 1, -2, -2));
    const QRect caption(6, 0, fm.horizontalAdvance(title()) + 4, fm.height());
    p.fillRect(caption, palette().color(QPalette::Window));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(caption, Qt::AlignCenter, title());
}

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent), FGroup(new QButtonGroup(this)) {}

void TRadioGroup::setItems(const QStringList& items)
{
    qDeleteAll(FButtons);
    FButtons.clear();
    const int top = 8;
    const int step = (98 - top - 4) / std::max<int>(1, static_cast<int>(items.size()));
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        b->setGeometry(8, top + i * step, 54, step);
        FGroup->addButton(b, i);
        FButtons << b;
    }
    // The group takes part in the tab order through its first item.
    setFocusProxy(FButtons.isEmpty() ? nullptr : FButtons.first());
}

int TRadioGroup::ItemIndex() const { return FGroup->checkedId(); }

void TRadioGroup::setItemIndex(int index)
{
    if (index >= 0 && index < FButtons.size()) {
        FButtons[index]->setChecked(true);
    } else if (QAbstractButton* b = FGroup->checkedButton()) {
        FGroup->setExclusive(false);
        b->setChecked(false);
        FGroup->setExclusive(true);
    }
}

void TCheckBox::paintEvent(QPaintEvent*)
{
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    const QRect box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, this);
    QStyleOptionButton indicator = opt;
    indicator.rect = QRect(width() - box.width(), (height() - box.height()) / 2, box.width(), box.height());
    p.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);
    const QRect caption(0, 0, indicator.rect.left() - 2, height());
    p.drawItemText(caption, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, palette(), isEnabled(),
                   text(), QPalette::WindowText);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = p.fontMetrics().boundingRect(caption, Qt::AlignLeft | Qt::AlignVCenter, text()).adjusted(-1, 0, 1, 0);
        p.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}
