// StepBar: the program's own progress bar. A panel that shows how far a task has come as a
// red bar growing from the left with the percentage printed in its middle. Setting the
// progress repaints the control at once, so a caller inside a long loop sees the bar move
// without waiting for the next paint cycle.
#pragma once

#include <QFrame>

namespace kv {

class StepBar : public QFrame {
    Q_OBJECT

public:
    explicit StepBar(QWidget* parent = nullptr);

    // The value that means 100 %. Setting it does not redraw.
    int Max() const { return max_; }
    void setMax(int max) { max_ = max; }

    // Stores the value and redraws the bar immediately.
    int progress() const { return progress_; }
    void setProgress(int value);

    // The panel's bevel: its width (1 by default) and whether the outer bevel is drawn lowered
    // (the default) or not at all. A single-line border sits outside the client area.
    int BevelWidth() const { return bevel_width_; }
    void setBevelWidth(int width);
    bool OuterBevelLowered() const { return outer_lowered_; }
    void setOuterBevelLowered(bool lowered);
    void setSingleBorder(bool single);

    // The integer nearest to a * b / c with the product in 64 bits, halves rounded away from
    // zero; -1 when c is 0.
    static int MulDiv(int a, int b, int c);
    // The printed percentage of `value` out of `max`: 0 below 1, at most 99 above 100.
    static int Percent(int value, int max);
    // Where the red fill ends for a client area `width` pixels wide.
    static int FillEdge(int width, int value, int max) { return MulDiv(width, value, max); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int max_ = 0;
    int progress_ = 0;
    int bevel_width_ = 1;
    bool outer_lowered_ = true;
};

}  // namespace kv
