// The window's own controls, as the form description names them.
#pragma once
#include <QCheckBox>
#include <QColor>
#include <QGroupBox>
#include <QList>
#include <QStringList>
#include <QWidget>

class QButtonGroup;
class QMenu;
class QRadioButton;

// A rounded square whose fill shows a terminal's state.
class TShape : public QWidget {
public:
    explicit TShape(QWidget* parent = nullptr);
    QColor brushColor() const { return FColor; }
    void setBrushColor(const QColor& c);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor FColor = Qt::white;
};

// A tab page: keeps the child marked "bottomAligned" on its bottom edge and
// opens its popup menu on a right click on the free area.
class TTabSheet : public QWidget {
public:
    explicit TTabSheet(QWidget* parent = nullptr) : QWidget(parent) {}
    QMenu* PopupMenu = nullptr;

protected:
    void contextMenuEvent(QContextMenuEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
};

// A group box whose caption sits on its frame line, so children placed near
// the top stay clear of the frame.
class TGroupBox : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override;
};

// Radio group with an item index (-1: nothing selected).
class TRadioGroup : public QGroupBox {
public:
    explicit TRadioGroup(QWidget* parent = nullptr);
    void setItems(const QStringList& items);
    int ItemIndex() const;
    void setItemIndex(int index);
    const QList<QRadioButton*>& Buttons() const { return FButtons; }

private:
    QButtonGroup* FGroup;
    QList<QRadioButton*> FButtons;
};

// A check box with its caption on the left, from the control's left edge,
// and the box at its right edge.
class TCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent*) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};
