#include "ui/pictures.h"

#include <QBitmap>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>

#include "platform/files.h"

// The compiled pictures live in a static library; their registration must be asked for.
static void RegisterPictureResources() {
    static bool registered = false;
    if (!registered) {
        Q_INIT_RESOURCE(pictures);
        registered = true;
    }
}

namespace kv {

int DisplayColourDepth() {
    bool ok = false;
    int forced = qEnvironmentVariableIntValue("KESTRAVO_COLOUR_DEPTH", &ok);
    if (ok && forced > 0) return forced;
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->depth() : 24;
}

QPixmap ResourcePicture(const QString& name) {
    RegisterPictureResources();
    QPixmap picture(":/" + name);
    if (!picture.isNull()) return picture;
    const QStringList entries = QDir(":/").entryList(QDir::Files);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0) return QPixmap(":/" + entry);
    }
    return QPixmap();
}

QPixmap WithBlueTransparent(const QPixmap& picture) {
    if (picture.isNull()) return picture;
    QPixmap masked = picture;
    masked.setMask(picture.createMaskFromColor(QColor(0, 0, 255), Qt::MaskInColor));
    return masked;
}

void Pictures::Load(int depth, const std::string& program_folder) {
    *this = Pictures();
    depth_ = depth;
    if (depth >= 16) {
        FolderTree = ResourcePicture("365");
        Window = ResourcePicture("1165");
        Page0 = ResourcePicture("2665");
        Page2 = ResourcePicture("3465");
        ReportBackground = ResourcePicture("repo165");
        Banner = WithBlueTransparent(ResourcePicture("repo265"));
        SummaryClean = WithBlueTransparent(ResourcePicture("sum265"));
        SummaryInfected = WithBlueTransparent(ResourcePicture("sum165"));
    } else if (depth == 8) {
        FolderTree = ResourcePicture("3256");
        Window = ResourcePicture("11256");
        Page0 = ResourcePicture("26256");
        Page2 = ResourcePicture("4256");
        Banner = WithBlueTransparent(ResourcePicture("repo2256"));
        SummaryClean = WithBlueTransparent(ResourcePicture("sum2256"));
        SummaryInfected = WithBlueTransparent(ResourcePicture("sum1256"));
    }
    const std::string file = platform::ResolveCaseInsensitive(program_folder, "40.bmp");
    DownloadList = QPixmap(QString::fromStdString(file));
}

ReportBlockPictures Pictures::BlockPictures() const {
    ReportBlockPictures pictures;
    if (!Banner.isNull()) pictures.Banner = &Banner;
    if (!SummaryInfected.isNull()) pictures.SummaryInfected = &SummaryInfected;
    if (!SummaryClean.isNull()) pictures.SummaryClean = &SummaryClean;
    return pictures;
}

}  // namespace kv
