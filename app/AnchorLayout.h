#pragma once

#include <QList>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QWidget>

// Places controls by pixel geometry the way the window toolkit's anchors do:
// every control keeps its design rectangle; an edge anchored right or bottom
// keeps its distance to that edge of the client area when the window is
// resized, so a control anchored on both opposite edges stretches and one
// anchored only right or bottom moves.
class AnchorLayout
{
public:
    enum Anchor
    {
        AnchorLeft = 0x1,
        AnchorTop = 0x2,
        AnchorRight = 0x4,
        AnchorBottom = 0x8,
        AnchorDefault = AnchorLeft | AnchorTop,
    };

    // designClient: the client size the design rectangles refer to.
    explicit AnchorLayout(const QSize &designClient);

    // Sets the control's design geometry and remembers its anchors.
    void place(QWidget *control, const QRect &designRect, int anchors = AnchorDefault);
    int anchors(const QWidget *control) const;
    QRect designRect(const QWidget *control) const;

    // Re-places every control for a client area of the given size.
    void apply(const QSize &client) const;
    // Where a control with these anchors goes in a client of that size.
    QRect placed(const QRect &designRect, int anchors, const QSize &client) const;

private:
    struct Item
    {
        QPointer<QWidget> control;
        QRect rect;
        int anchors;
    };
    const Item *find(const QWidget *control) const;

    QSize FDesignClient;
    QList<Item> FItems;
};
