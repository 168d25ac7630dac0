#include "ui/windows/animations.h"

#include "ui/pictures.h"

namespace kv {

QPixmap Animations::NextActionPicture() {
    const int number = kFirstActionPicture + action_turn_;
    action_turn_ = (action_turn_ + 1) % (kLastActionPicture - kFirstActionPicture + 1);
    return ResourcePicture(QString::number(number));
}

void Animations::ViewerOpened() {
    if (open_viewers_ == 0) {
        globe_.clear();
        for (int frame = 1; frame <= kGlobeFrames; ++frame)
            globe_.push_back(ResourcePicture(QString::number(frame)));
    }
    ++open_viewers_;
}

void Animations::ViewerClosed() {
    if (open_viewers_ == 0) return;
    if (--open_viewers_ == 0) globe_.clear();
}

const QPixmap* Animations::NextGlobeFrame() {
    if (globe_.empty()) return nullptr;
    const QPixmap* frame = &globe_[static_cast<std::size_t>(globe_frame_) % globe_.size()];
    globe_frame_ = (globe_frame_ + 1) % kGlobeFrames;
    return frame;
}

}  // namespace kv
