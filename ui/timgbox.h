// TimgLBox: a list box whose rows are drawn by a handler of its owner and whose background is
// a picture tiled row by row. The report list draws each row from its report line record
// (the items themselves only hold a placeholder); the resource lists draw their entries'
// texts over bands of their picture.
#pragma once

#include <QListWidget>
#include <QPixmap>

#include <functional>

namespace kv {

class TimgLBox : public QListWidget {
    Q_OBJECT

public:
    // Draws row `index` into `rect` (the painter already carries the list's font and the text
    // colour for the row's state).
    using DrawItemHandler =
        std::function<void(QPainter& painter, int index, const QRect& rect, bool selected)>;

    explicit TimgLBox(QWidget* parent = nullptr);

    // The background picture; none by default.
    void SetBitmap(const QPixmap& bitmap);
    const QPixmap& Bitmap() const { return bitmap_; }

    // Tag 1: a selected row keeps its background picture instead of the highlight colour.
    int Tag() const { return tag_; }
    void SetTag(int tag) { tag_ = tag; }

    // Every row has this height.
    void SetRowHeight(int height);
    int RowHeight() const { return row_height_; }

    // The width the rows can be scrolled across (0: the width of the list).
    void SetHorizontalExtent(int pixels);
    int HorizontalExtent() const { return extent_; }

    void SetDrawItemHandler(DrawItemHandler handler) { draw_item_ = std::move(handler); }

    // The index of the first visible row.
    int TopIndex() const;

    // Whether a row in that state is drawn over the background picture.
    bool RowKeepsBackground(bool selected) const {
        return !bitmap_.isNull() && (!selected || tag_ == 1);
    }
    // Fills `rect` with the band of the background picture that row `index` uses: band
    // (index mod the number of whole bands), copies laid from the left edge, each one pixel
    // short of the picture's width further than the last.
    void TileRowBackground(QPainter& painter, int index, const QRect& rect) const;
    // The brush a row without background picture is filled with.
    QColor RowColour(bool selected) const;

    // The drawing of an entry of a resource list: the band of the picture or the row colour,
    // then the entry's text 16 pixels from the left.
    void DrawTextEntry(QPainter& painter, int index, const QRect& rect, bool selected) const;

signals:
    void FocusEntered();

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    // The area below the last row: rows of the picture, band after band.
    void PaintEmptyArea(QPainter& painter, int top_index) const;
    void UpdateItemSize();

    QPixmap bitmap_;
    int tag_ = 0;
    int row_height_ = 16;
    int extent_ = 0;
    DrawItemHandler draw_item_;
};

// Draws `text` with its top at `top` (the way the rows place their texts).
void DrawTextAtTop(QPainter& painter, int x, int top, const QString& text);

// The owner-drawn list box of the report and the lists, by its role.
using PictureListBox = TimgLBox;

}  // namespace kv
