#include "app/AnchorLayout.h"

#include <algorithm>

AnchorLayout::AnchorLayout(const QSize &designClient) : FDesignClient(designClient) {}

void AnchorLayout::place(QWidget *control, const QRect &designRect, int anchors)
{
    control->setGeometry(designRect);
    for (Item &item : FItems) {
        if (item.control == control) {
            item.rect = designRect;
            item.anchors = anchors;
            return;
        }
    }
    FItems.append(Item{control, designRect, anchors});
}

const AnchorLayout::Item *AnchorLayout::find(const QWidget *control) const
{
    for (const Item &item : FItems)
        if (item.control == control)
            return &item;
    return nullptr;
}

int AnchorLayout::anchors(const QWidget *control) const
{
    const Item *item = find(control);
    return item ? item->anchors : 0;
}

QRect AnchorLayout::designRect(const QWidget *control) const
{
    const Item *item = find(control);
    return item ? item->rect : QRect();
}

QRect AnchorLayout::placed(const QRect &designRect, int anchors, const QSize &client) const
{
    const int dx = client.width() - FDesignClient.width();
    const int dy = client.height() - FDesignClient.height();
    int left = designRect.x();
    int top = designRect.y();
    int width = designRect.width();
    int height = designRect.height();

    if (anchors & AnchorRight) {
        if (anchors & AnchorLeft)
            width += dx;
        else
            left += dx;
    }
    if (anchors & AnchorBottom) {
        if (anchors & AnchorTop)
            height += dy;
        else
            top += dy;
    }
    // A window made smaller than the design squeezes a stretching control
    // to nothing, never to a negative size.
    return QRect(left, top, std::max(width, 0), std::max(height, 0));
}

void AnchorLayout::apply(const QSize &client) const
{
    for (const Item &item : FItems)
        if (item.control)
            item.control->setGeometry(placed(item.rect, item.anchors, client));
}
