// The animations of the auxiliary windows and where each one stands. One object lives for the
// whole run of the program (the main window owns it) and is handed to every window that
// animates, so a later action window goes on where the previous one stopped and all open log
// viewers share one set of globe frames.
#pragma once

#include <QPixmap>

#include <vector>

namespace kv {

class Animations {
public:
    // The action window's pictures: resources 331 to 360.
    static constexpr int kFirstActionPicture = 331;
    static constexpr int kLastActionPicture = 360;
    // The log viewer's globe: resources 1 to 35.
    static constexpr int kGlobeFrames = 35;

    // The action window's next picture, 331 first after the program started, back to 331
    // after 360; loaded afresh each time.
    QPixmap NextActionPicture();
    // The number of the picture NextActionPicture gives next.
    int NextActionPictureNumber() const { return kFirstActionPicture + action_turn_; }

    // A log viewer opens: the first one loads the globe frames.
    void ViewerOpened();
    // A log viewer closes: the last one frees the globe frames.
    void ViewerClosed();
    int OpenViewers() const { return open_viewers_; }
    bool GlobeLoaded() const { return !globe_.empty(); }
    // The next globe frame (1 to 35 in turn); null while no viewer is open.
    const QPixmap* NextGlobeFrame();
    // The number of the frame NextGlobeFrame gives next.
    int NextGlobeFrameNumber() const { return globe_frame_ + 1; }

private:
    int action_turn_ = 0;
    int open_viewers_ = 0;
    int globe_frame_ = 0;
    std::vector<QPixmap> globe_;
};

}  // namespace kv
