// The pictures of the main window, chosen once at start by the display's colour depth:
// backgrounds of the window, the pages, the folder tree and the report, and the banner and
// summary pictures that the report lines carry. Full-colour pictures for 16 bits per pixel
// and more, 256-colour ones for exactly 8 bits, and none below.
#pragma once

#include <QPixmap>
#include <QString>

#include "engine/report_blocks.h"

namespace kv {

// The colour depth of the display in bits per pixel: the primary screen's, unless the
// environment variable KESTRAVO_COLOUR_DEPTH names another (for trying the program, and for
// tests, at 8 or 4 bits on any display).
int DisplayColourDepth();

// A picture compiled into the program, by the name the program gives it ("365", "repo165");
// the name is matched without regard to letter case. A null pixmap when there is none.
QPixmap ResourcePicture(const QString& name);

// Turns the pure blue (0, 0, 255) of a picture transparent.
QPixmap WithBlueTransparent(const QPixmap& picture);

class Pictures {
public:
    // Loads the pictures for `depth` bits per pixel; "40.bmp" comes from `program_folder`
    // whatever the depth.
    void Load(int depth, const std::string& program_folder);

    int Depth() const { return depth_; }

    QPixmap FolderTree;        // folder tree, the Resource list and Image2
    QPixmap Window;            // Image3
    QPixmap Page0;             // Image9, also page 3
    QPixmap Page2;             // Image11
    QPixmap ReportBackground;  // Memo1
    QPixmap Banner;            // six rows, pure blue transparent
    QPixmap SummaryClean;      // three rows, pure blue transparent
    QPixmap SummaryInfected;   // three rows, pure blue transparent
    QPixmap DownloadList;      // "40.bmp"

    // The banner and summary pictures as the report carries them (handles to the pixmaps
    // above, so this object must outlive the report lines that use them).
    ReportBlockPictures BlockPictures() const;

private:
    int depth_ = 0;
};

// The pixmap behind a report picture handle.
inline const QPixmap* PixmapOfHandle(BitmapHandle handle) {
    return static_cast<const QPixmap*>(handle);
}

}  // namespace kv
