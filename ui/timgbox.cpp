#include "ui/timgbox.h"

#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QStyledItemDelegate>

namespace kv {

namespace {

// Gives every row the list's row height and its horizontal extent.
class RowSizeDelegate : public QStyledItemDelegate {
public:
    explicit RowSizeDelegate(QObject* parent) : QStyledItemDelegate(parent) {}
    QSize size = QSize(1, 16);
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return size; }
};

}  // namespace

void DrawTextAtTop(QPainter& painter, int x, int top, const QString& text) {
    if (text.isEmpty()) return;
    painter.drawText(QPoint(x, top + painter.fontMetrics().ascent()), text);
}

TimgLBox::TimgLBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new RowSizeDelegate(this));
    setUniformItemSizes(true);
    setSpacing(0);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    UpdateItemSize();
}

void TimgLBox::SetBitmap(const QPixmap& bitmap) {
    bitmap_ = bitmap;
    viewport()->update();
}

void TimgLBox::SetRowHeight(int height) {
    row_height_ = qMax(1, height);
    UpdateItemSize();
}

void TimgLBox::SetHorizontalExtent(int pixels) {
    extent_ = qMax(0, pixels);
    UpdateItemSize();
}

void TimgLBox::UpdateItemSize() {
    auto* delegate = static_cast<RowSizeDelegate*>(itemDelegate());
    delegate->size = QSize(qMax(1, extent_), row_height_);
    doItemsLayout();
    viewport()->update();
}

int TimgLBox::TopIndex() const {
    if (count() == 0) return 0;
    QModelIndex top = indexAt(QPoint(0, 0));
    if (!top.isValid()) top = indexAt(QPoint(1, 1));
    return top.isValid() ? top.row() : 0;
}

QColor TimgLBox::RowColour(bool selected) const {
    return palette().color(selected ? QPalette::Highlight : QPalette::Base);
}

void TimgLBox::TileRowBackground(QPainter& painter, int index, const QRect& rect) const {
    if (bitmap_.isNull()) return;
    const int bands = qMax(1, bitmap_.height() / row_height_);
    const int source_top = (index % bands) * row_height_;
    const int step = qMax(1, bitmap_.width() - 1);
    for (int x = rect.left(); x <= rect.right(); x += step) {
        int width = qMin(bitmap_.width(), rect.right() + 1 - x);
        painter.drawPixmap(x, rect.top(), bitmap_, 0, source_top, width,
                           qMin(row_height_, rect.height()));
    }
}

void TimgLBox::DrawTextEntry(QPainter& painter, int index, const QRect& rect, bool selected) const {
    if (RowKeepsBackground(selected)) {
        TileRowBackground(painter, index, rect);
    } else {
        painter.fillRect(rect, RowColour(selected));
    }
    const QListWidgetItem* entry = item(index);
    if (entry != nullptr) DrawTextAtTop(painter, rect.left() + 16, rect.top(), entry->text());
}

void TimgLBox::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.setClipRegion(event->region());
    painter.setFont(font());
    const int rows = count();
    const int top = TopIndex();
    const int client_width = viewport()->width();
    const int client_height = viewport()->height();
    for (int row = top; row < rows; ++row) {
        QRect rect = visualRect(model()->index(row, 0));
        if (rect.top() >= client_height) break;
        rect.setRight(qMax(rect.right(), client_width - 1));
        rect.setHeight(row_height_);
        const bool selected = selectionModel()->isSelected(model()->index(row, 0));
        painter.save();
        painter.setPen(palette().color(selected ? QPalette::HighlightedText : QPalette::Text));
        if (draw_item_) {
            draw_item_(painter, row, rect, selected);
        } else {
            DrawTextEntry(painter, row, rect, selected);
        }
        painter.restore();
    }
    if (rows == 0 && hasFocus()) {
        // An empty list that has the focus shows where its first row would be.
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = QRect(0, 0, client_width, row_height_);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
    PaintEmptyArea(painter, top);
}

void TimgLBox::PaintEmptyArea(QPainter& painter, int top_index) const {
    if (bitmap_.isNull()) return;  // the list's own colour stays there
    const int client_width = viewport()->width();
    const int client_height = viewport()->height();
    const int bands = qMax(1, bitmap_.height() / row_height_);
    const int whole = bands * row_height_;
    const int first = (count() - top_index) * row_height_;
    if (first >= client_height) return;
    // The first empty row takes the picture at its own height when that lies inside the
    // whole bands, else the band that the next row would have had.
    int source = first + row_height_ <= whole ? first : (count() % bands) * row_height_;
    const int left = -horizontalScrollBar()->value();
    for (int y = first; y < client_height; y += row_height_) {
        for (int x = left; x < client_width; x += bitmap_.width())
            painter.drawPixmap(x, y, bitmap_, 0, source, bitmap_.width(), row_height_);
        source += row_height_;
        if (source + row_height_ > whole) source = 0;
    }
}

void TimgLBox::focusInEvent(QFocusEvent* event) {
    QListWidget::focusInEvent(event);
    emit FocusEntered();
}

}  // namespace kv
