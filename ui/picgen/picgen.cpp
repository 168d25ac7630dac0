// kestravo-picgen: draws every picture of the desktop program at build time, so that no
// binary picture lives in the source tree.
//
//   kestravo-picgen RESOURCE_FOLDER PROGRAM_FOLDER
//
// writes the pictures that are compiled into the program as Qt resources (one PNG file per
// picture, named as the program looks them up, plus "pictures.qrc") into RESOURCE_FOLDER,
// and "40.bmp" and "St2.bmp" into PROGRAM_FOLDER. The full-colour pictures come first; the
// 256-colour set for 8-bit displays is made from the same drawings, and a few small pictures
// are kept to 16 colours. One look runs through all of them: deep navy and gold, the shield
// emblem with its "K", soft gradients.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <QtMath>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <unordered_map>
#include <vector>

namespace {

// The colour that the report draws as transparent.
const QColor kTransparentBlue(0, 0, 255);

const QColor kNavy(12, 28, 84);
const QColor kDeepNavy(6, 14, 52);
const QColor kGold(232, 184, 48);
const QColor kPaleGold(250, 226, 140);
const QColor kCream(250, 244, 222);

QImage NewImage(int width, int height, QColor fill = Qt::transparent) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    return image;
}

void Antialias(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

// The outline of the emblem's shield inside `r`.
QPainterPath ShieldPath(const QRectF& r) {
    const qreal l = r.left(), t = r.top(), w = r.width(), h = r.height();
    QPainterPath path;
    path.moveTo(l, t + 0.10 * h);
    path.quadTo(l + 0.25 * w, t + 0.10 * h, l + 0.5 * w, t);
    path.quadTo(l + 0.75 * w, t + 0.10 * h, l + w, t + 0.10 * h);
    path.lineTo(l + w, t + 0.46 * h);
    path.cubicTo(l + w, t + 0.74 * h, l + 0.72 * w, t + 0.90 * h, l + 0.5 * w, t + h);
    path.cubicTo(l + 0.28 * w, t + 0.90 * h, l, t + 0.74 * h, l, t + 0.46 * h);
    path.closeSubpath();
    return path;
}

// The emblem: a gold-rimmed navy shield with a "K" and a sweep of wing lines.
void DrawEmblem(QPainter& painter, const QRectF& r, qreal opacity = 1.0) {
    painter.save();
    painter.setOpacity(opacity);
    Antialias(painter);
    QLinearGradient rim(r.topLeft(), r.bottomRight());
    rim.setColorAt(0.0, QColor(255, 236, 150));
    rim.setColorAt(0.5, kGold);
    rim.setColorAt(1.0, QColor(168, 118, 20));
    painter.setPen(Qt::NoPen);
    painter.setBrush(rim);
    painter.drawPath(ShieldPath(r));

    const qreal inset = r.width() * 0.11;
    QRectF inner = r.adjusted(inset, inset, -inset, -inset * 1.25);
    QLinearGradient field(inner.topLeft(), inner.bottomLeft());
    field.setColorAt(0.0, QColor(40, 78, 170));
    field.setColorAt(1.0, kDeepNavy);
    painter.setBrush(field);
    painter.drawPath(ShieldPath(inner));

    // Wing lines sweeping up behind the letter.
    QPen wing(QColor(120, 170, 255, 150), qMax<qreal>(1.0, r.width() * 0.025));
    wing.setCapStyle(Qt::RoundCap);
    painter.setPen(wing);
    painter.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        qreal d = i * inner.width() * 0.12;
        QPainterPath sweep;
        sweep.moveTo(inner.left() + inner.width() * 0.12, inner.top() + inner.height() * 0.70 - d);
        sweep.quadTo(inner.center().x(), inner.top() + inner.height() * 0.30 - d,
                     inner.right() - inner.width() * 0.08, inner.top() + inner.height() * 0.18 - d);
        painter.drawPath(sweep);
    }

    QFont font("Liberation Serif");
    font.setBold(true);
    font.setPixelSize(qMax(6, int(inner.height() * 0.62)));
    QPainterPath letter;
    letter.addText(0, 0, font, "K");
    QRectF box = letter.boundingRect();
    letter.translate(inner.center().x() - box.center().x(),
                     inner.top() + inner.height() * 0.47 - box.center().y());
    painter.setPen(QPen(QColor(120, 80, 10), qMax<qreal>(0.8, r.width() * 0.02)));
    painter.setBrush(QColor(255, 240, 190));
    painter.drawPath(letter);
    painter.restore();
}

// Soft diagonal pinstripes over the whole image.
void Pinstripes(QPainter& painter, const QRect& area, QColor colour, int step) {
    painter.save();
    painter.setClipRect(area);
    painter.setPen(QPen(colour, 1));
    for (int x = area.left() - area.height(); x < area.right(); x += step)
        painter.drawLine(x, area.bottom(), x + area.height(), area.top());
    painter.restore();
}

// Turns a drawing on a transparent canvas into a picture whose transparent parts are pure
// blue. Edge pixels are blended over `matte` (the background the picture is drawn on), so
// that no bluish fringe appears; no opaque pixel is left pure blue by accident.
QImage FlattenOnBlue(const QImage& drawing, QColor matte) {
    QImage out(drawing.size(), QImage::Format_RGB32);
    QImage source = drawing.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < source.height(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        QRgb* dst = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < source.width(); ++x) {
            int a = qAlpha(in[x]);
            if (a < 100) {
                dst[x] = kTransparentBlue.rgb();
                continue;
            }
            int r = (qRed(in[x]) * a + matte.red() * (255 - a)) / 255;
            int g = (qGreen(in[x]) * a + matte.green() * (255 - a)) / 255;
            int b = (qBlue(in[x]) * a + matte.blue() * (255 - a)) / 255;
            if (r == 0 && g == 0 && b == 255) b = 254;
            dst[x] = qRgb(r, g, b);
        }
    }
    return out;
}

// ---- The pictures ----

// Window background: a light header on the left (the navy title sits there) that turns to
// deep blue on the right (the white "AntiVirus" sits there), a gold rule, a blue body.
QImage WindowBackground() {
    const int w = 639, h = 393, header = 92;
    QImage image = NewImage(w, h, kNavy);
    QPainter painter(&image);
    Antialias(painter);
    QLinearGradient top(0, 0, w, 0);
    top.setColorAt(0.00, kCream);
    top.setColorAt(0.34, QColor(238, 224, 182));
    top.setColorAt(0.50, QColor(60, 96, 176));
    top.setColorAt(1.00, QColor(14, 34, 96));
    painter.fillRect(0, 0, w, header, top);
    QLinearGradient sheen(0, 0, 0, header);
    sheen.setColorAt(0.0, QColor(255, 255, 255, 70));
    sheen.setColorAt(0.5, QColor(255, 255, 255, 0));
    sheen.setColorAt(1.0, QColor(0, 0, 0, 40));
    painter.fillRect(0, 0, w, header, sheen);

    QLinearGradient rule(0, 0, w, 0);
    rule.setColorAt(0.0, QColor(168, 118, 20));
    rule.setColorAt(0.5, QColor(255, 228, 120));
    rule.setColorAt(1.0, QColor(168, 118, 20));
    painter.fillRect(0, header, w, 3, rule);

    QLinearGradient body(0, header + 3, 0, h);
    body.setColorAt(0.0, QColor(30, 62, 138));
    body.setColorAt(1.0, QColor(8, 20, 64));
    painter.fillRect(0, header + 3, w, h - header - 3, body);
    Pinstripes(painter, QRect(0, header + 3, w, h - header - 3), QColor(255, 255, 255, 12), 9);

    // A faint emblem behind the buttons, and a glow behind the resource list.
    DrawEmblem(painter, QRectF(452, 178, 150, 180), 0.16);
    QRadialGradient glow(QPointF(508, 150), 150);
    glow.setColorAt(0.0, QColor(120, 170, 255, 60));
    glow.setColorAt(1.0, QColor(120, 170, 255, 0));
    painter.fillRect(QRect(360, 95, 279, 200), glow);

    // A sunken bed for the page area and the tab set.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 70));
    painter.drawRoundedRect(QRectF(21, 95, 354, 276), 6, 6);
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// Light page background with a fine grid (setup and virus list pages, path dialog).
QImage PageBackground() {
    const int w = 320, h = 239;
    QImage image = NewImage(w, h);
    QPainter painter(&image);
    QLinearGradient fill(0, 0, w * 0.3, h);
    fill.setColorAt(0.0, QColor(230, 237, 250));
    fill.setColorAt(1.0, QColor(184, 200, 230));
    painter.fillRect(image.rect(), fill);
    painter.setPen(QColor(255, 255, 255, 90));
    for (int x = 6; x < w; x += 12) painter.drawLine(x, 0, x, h);
    for (int y = 6; y < h; y += 12) painter.drawLine(0, y, w, y);
    DrawEmblem(painter, QRectF(236, 144, 70, 84), 0.12);
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// Internet page background: sea-green with the rings of a signal spreading from a corner.
QImage InternetPageBackground() {
    const int w = 340, h = 236;
    QImage image = NewImage(w, h);
    QPainter painter(&image);
    Antialias(painter);
    QLinearGradient fill(0, 0, 0, h);
    fill.setColorAt(0.0, QColor(222, 242, 238));
    fill.setColorAt(1.0, QColor(166, 210, 204));
    painter.fillRect(image.rect(), fill);
    painter.setBrush(Qt::NoBrush);
    for (int i = 1; i < 14; ++i) {
        painter.setPen(QPen(QColor(255, 255, 255, 110 - i * 6), 2));
        painter.drawEllipse(QPointF(w - 10, h - 10), i * 26.0, i * 26.0);
    }
    DrawEmblem(painter, QRectF(262, 150, 62, 74), 0.14);
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// Folder tree background: warm gold with a fine hatch and darker edges.
QImage FolderTreeBackground() {
    const int w = 198, h = 225;
    QImage image = NewImage(w, h);
    QPainter painter(&image);
    Antialias(painter);
    QLinearGradient fill(0, 0, 0, h);
    fill.setColorAt(0.0, QColor(246, 226, 136));
    fill.setColorAt(1.0, QColor(235, 209, 88));
    painter.fillRect(image.rect(), fill);
    Pinstripes(painter, image.rect(), QColor(255, 255, 255, 45), 6);
    QRadialGradient vignette(QPointF(w / 2.0, h / 2.0), w * 0.9);
    vignette.setColorAt(0.6, QColor(120, 80, 0, 0));
    vignette.setColorAt(1.0, QColor(120, 80, 0, 60));
    painter.fillRect(image.rect(), vignette);
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// Report background: navy bands, 19 pixels each, that the report tiles row by row. The
// brightness follows a wave over the ten bands, so the last band joins the first; the dots
// repeat every 32 pixels, so the copies laid side by side one pixel short of the picture's
// width join without a seam.
QImage ReportBackground() {
    const int w = 257, h = 190;
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        qreal wave = 0.5 + 0.5 * qCos(2 * M_PI * y / h);
        int r = int(4 + 10 * wave), g = int(10 + 22 * wave), b = int(84 + 34 * wave);
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) line[x] = qRgb(r, g, b);
    }
    QPainter painter(&image);
    Antialias(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(110, 150, 255, 70));
    for (int y = 9; y < h; y += 19)
        for (int x = 16; x < w; x += 32) painter.drawEllipse(QPointF(x, y), 1.2, 1.2);
    painter.end();
    return image;
}

// The banner strip of the report: six rows of 19 pixels; the emblem and the rings of a
// scan spreading to the right, on pure blue.
QImage BannerStrip() {
    const int w = 116, h = 6 * 19;
    QImage drawing = NewImage(w, h);
    QPainter painter(&drawing);
    Antialias(painter);
    DrawEmblem(painter, QRectF(6, 14, 62, 78));
    painter.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        painter.setPen(QPen(QColor(255, 214, 90, 230 - i * 50), 3.2, Qt::SolidLine, Qt::RoundCap));
        qreal radius = 18 + i * 13;
        painter.drawArc(QRectF(52 - radius, 53 - radius, 2 * radius, 2 * radius), -50 * 16,
                        100 * 16);
    }
    painter.setPen(QPen(kPaleGold, 1.5));
    painter.drawLine(QPointF(10, 104), QPointF(108, 104));
    painter.end();
    return FlattenOnBlue(drawing, QColor(4, 16, 96));
}

// Summary pictures: three rows of 19 pixels. No infection: a green badge with a tick.
QImage SummaryClean() {
    const int w = 64, h = 57;
    QImage drawing = NewImage(w, h);
    QPainter painter(&drawing);
    Antialias(painter);
    QRadialGradient fill(QPointF(26, 20), 34);
    fill.setColorAt(0.0, QColor(150, 240, 140));
    fill.setColorAt(1.0, QColor(20, 130, 40));
    painter.setPen(QPen(kGold, 2.5));
    painter.setBrush(fill);
    painter.drawEllipse(QPointF(32, 28.5), 24, 24);
    QPainterPath tick;
    tick.moveTo(20, 29);
    tick.lineTo(29, 38);
    tick.lineTo(45, 19);
    painter.setPen(QPen(Qt::white, 5.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(tick);
    painter.end();
    return FlattenOnBlue(drawing, QColor(4, 16, 96));
}

// Infections found: a red virus particle with its spikes.
QImage SummaryInfected() {
    const int w = 64, h = 57;
    QImage drawing = NewImage(w, h);
    QPainter painter(&drawing);
    Antialias(painter);
    const QPointF centre(32, 28.5);
    painter.setPen(QPen(QColor(255, 120, 100), 3, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(QColor(255, 200, 60));
    for (int i = 0; i < 8; ++i) {
        qreal angle = i * M_PI / 4 + M_PI / 8;
        QPointF from = centre + QPointF(qCos(angle), qSin(angle)) * 16;
        QPointF to = centre + QPointF(qCos(angle), qSin(angle)) * 24;
        painter.drawLine(from, to);
        painter.drawEllipse(to, 3, 3);
    }
    QRadialGradient fill(centre - QPointF(5, 5), 22);
    fill.setColorAt(0.0, QColor(255, 130, 110));
    fill.setColorAt(1.0, QColor(170, 10, 10));
    painter.setPen(QPen(QColor(255, 220, 120), 2));
    painter.setBrush(fill);
    painter.drawEllipse(centre, 17, 17);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(29.5, 17, 5, 14), 2, 2);
    painter.drawEllipse(QPointF(32, 36.5), 3, 3);
    painter.end();
    return FlattenOnBlue(drawing, QColor(4, 16, 96));
}

// Log viewer background: a faint globe on navy.
QImage LogViewerBackground() {
    const int w = 238, h = 317;
    QImage image = NewImage(w, h);
    QPainter painter(&image);
    Antialias(painter);
    QLinearGradient fill(0, 0, 0, h);
    fill.setColorAt(0.0, QColor(16, 34, 110));
    fill.setColorAt(1.0, QColor(4, 10, 60));
    painter.fillRect(image.rect(), fill);
    const QPointF centre(w / 2.0, h / 2.0);
    const qreal radius = 100;
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(90, 140, 255, 90), 2));
    painter.drawEllipse(centre, radius, radius);
    for (int i = 1; i < 4; ++i) painter.drawEllipse(centre, radius * i / 4.0, radius);  // meridians
    for (int i = -2; i <= 2; ++i) {
        qreal y = centre.y() + i * radius / 3.0;
        qreal half = qSqrt(qMax<qreal>(0, radius * radius - (y - centre.y()) * (y - centre.y())));
        painter.drawLine(QPointF(centre.x() - half, y), QPointF(centre.x() + half, y));
    }
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// Download-folder list background: four rows of 16 pixels in soft sea-green.
QImage DownloadListBackground() {
    const int w = 240, h = 64;
    QImage image = NewImage(w, h);
    QPainter painter(&image);
    for (int band = 0; band < 4; ++band) {
        QLinearGradient fill(0, band * 16, 0, band * 16 + 16);
        int shade = band % 2 == 0 ? 0 : 10;
        fill.setColorAt(0.0, QColor(226 - shade, 246 - shade, 240 - shade));
        fill.setColorAt(1.0, QColor(200 - shade, 230 - shade, 222 - shade));
        painter.fillRect(0, band * 16, w, 16, fill);
    }
    painter.setPen(QColor(255, 255, 255, 140));
    for (int band = 0; band < 4; ++band) painter.drawLine(0, band * 16, w, band * 16);
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// The about window's picture: the emblem, the title and a gold frame on deep blue.
QImage AboutPicture() {
    const int w = 508, h = 399;
    QImage image = NewImage(w, h);
    QPainter painter(&image);
    Antialias(painter);
    QRadialGradient fill(QPointF(w * 0.35, h * 0.4), w * 0.8);
    fill.setColorAt(0.0, QColor(44, 88, 190));
    fill.setColorAt(1.0, kDeepNavy);
    painter.fillRect(image.rect(), fill);
    Pinstripes(painter, image.rect(), QColor(255, 255, 255, 10), 10);
    for (int i = 1; i < 9; ++i) {
        painter.setPen(QPen(QColor(255, 214, 90, 60 - i * 6), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QPointF(118, 196), 90.0 + i * 28, 90.0 + i * 28);
    }
    DrawEmblem(painter, QRectF(40, 86, 156, 194));

    QFont title("Liberation Serif");
    title.setBold(true);
    title.setPixelSize(64);
    painter.setFont(title);
    painter.setPen(QColor(120, 80, 10));
    painter.drawText(QPointF(221, 193), "Kestravo");
    painter.setPen(Qt::white);
    painter.drawText(QPointF(218, 190), "Kestravo");

    QFont subtitle("Liberation Sans");
    subtitle.setPixelSize(22);
    subtitle.setItalic(true);
    painter.setFont(subtitle);
    painter.setPen(kPaleGold);
    painter.drawText(QPointF(224, 228), "antivirus 32bit");

    QLinearGradient rule(220, 0, 480, 0);
    rule.setColorAt(0.0, kGold);
    rule.setColorAt(1.0, QColor(232, 184, 48, 0));
    painter.fillRect(QRectF(222, 244, 260, 2), rule);

    QFont small("Liberation Sans");
    small.setPixelSize(13);
    painter.setFont(small);
    painter.setPen(QColor(200, 214, 255));
    painter.drawText(QPointF(224, 268), "Linux");

    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(kGold, 3));
    painter.drawRect(QRectF(7.5, 7.5, w - 15, h - 15));
    painter.setPen(QPen(QColor(255, 236, 150, 120), 1));
    painter.drawRect(QRectF(13.5, 13.5, w - 27, h - 27));
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// The built-in title page of the about window (16 colours): the emblem, and a magnifying
// glass that the window lays on a lime rounded rectangle.
QImage AboutEmblem() {
    QImage drawing = NewImage(72, 84, Qt::white);
    QPainter painter(&drawing);
    DrawEmblem(painter, QRectF(2, 2, 68, 80));
    painter.end();
    return drawing.convertToFormat(QImage::Format_RGB32);
}

QImage AboutMagnifier() {
    QImage drawing = NewImage(48, 48, QColor(0, 255, 0));
    QPainter painter(&drawing);
    Antialias(painter);
    painter.setPen(QPen(QColor(0, 0, 128), 6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(30, 30), QPointF(43, 43));
    painter.setPen(QPen(QColor(0, 0, 128), 4));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(20, 20), 13, 13);
    painter.setPen(QPen(QColor(255, 0, 0), 3, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(14, 20), QPointF(26, 20));
    painter.end();
    return drawing.convertToFormat(QImage::Format_RGB32);
}

QImage ProgramIcon() {
    QImage drawing = NewImage(64, 64);
    QPainter painter(&drawing);
    DrawEmblem(painter, QRectF(6, 2, 52, 60));
    painter.end();
    return drawing;
}

// ---- Colour reduction ----

// 256 colours: a palette made for the picture by median cut (255 colours), plus pure blue,
// which stays exact so that the report's transparency survives the reduction.
QImage To256Colours(const QImage& image) {
    const QImage source = image.convertToFormat(QImage::Format_RGB32);
    const QRgb blue = kTransparentBlue.rgb() & 0xFFFFFF;
    std::vector<QRgb> pixels;
    for (int y = 0; y < source.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        for (int x = 0; x < source.width(); ++x) {
            if ((line[x] & 0xFFFFFF) != blue) pixels.push_back(line[x]);
        }
    }
    auto channel = [](QRgb c, int k) { return k == 0 ? qRed(c) : k == 1 ? qGreen(c) : qBlue(c); };
    // A box of pixels, with the channel of its widest range and that range.
    struct Box {
        std::size_t begin, end;
        int channel = 0, range = 0;
    };
    auto measure = [&](Box& box) {
        box.range = 0;
        for (int k = 0; k < 3; ++k) {
            int lo = 255, hi = 0;
            for (std::size_t j = box.begin; j < box.end; ++j) {
                int v = channel(pixels[j], k);
                lo = qMin(lo, v);
                hi = qMax(hi, v);
            }
            if (hi - lo > box.range) {
                box.range = hi - lo;
                box.channel = k;
            }
        }
    };
    std::vector<Box> boxes;
    if (!pixels.empty()) {
        boxes.push_back({0, pixels.size()});
        measure(boxes.back());
    }
    while (boxes.size() < 255) {
        // Split the box with the widest channel range at its median.
        std::size_t best = boxes.size();
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].end - boxes[i].begin < 2 || boxes[i].range == 0) continue;
            if (best == boxes.size() || boxes[i].range > boxes[best].range) best = i;
        }
        if (best == boxes.size()) break;
        Box box = boxes[best];
        const int k = box.channel;
        std::size_t middle = (box.begin + box.end) / 2;
        std::nth_element(pixels.begin() + long(box.begin), pixels.begin() + long(middle),
                         pixels.begin() + long(box.end),
                         [&](QRgb a, QRgb b) { return channel(a, k) < channel(b, k); });
        boxes[best] = {box.begin, middle};
        measure(boxes[best]);
        boxes.push_back({middle, box.end});
        measure(boxes.back());
    }
    QVector<QRgb> table;
    for (const Box& box : boxes) {
        long r = 0, g = 0, b = 0;
        for (std::size_t j = box.begin; j < box.end; ++j) {
            r += qRed(pixels[j]);
            g += qGreen(pixels[j]);
            b += qBlue(pixels[j]);
        }
        long n = long(box.end - box.begin);
        QRgb average = qRgb(int(r / n), int(g / n), int(b / n));
        if ((average & 0xFFFFFF) == blue) average = qRgb(0, 0, 254);
        table.push_back(average);
    }
    table.push_back(kTransparentBlue.rgb());

    // Every pixel takes the nearest colour of the palette; colours repeat, so each is looked
    // up once.
    std::unordered_map<QRgb, uchar> nearest;
    QImage out(source.size(), QImage::Format_Indexed8);
    out.setColorTable(table);
    for (int y = 0; y < source.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        uchar* dst = out.scanLine(y);
        for (int x = 0; x < source.width(); ++x) {
            const QRgb colour = line[x] & 0xFFFFFF;
            if (colour == blue) {
                dst[x] = uchar(table.size() - 1);
                continue;
            }
            auto known = nearest.find(colour);
            if (known != nearest.end()) {
                dst[x] = known->second;
                continue;
            }
            int best = 0, best_distance = INT_MAX;
            for (int i = 0; i + 1 < table.size(); ++i) {
                int dr = qRed(colour) - qRed(table[i]);
                int dg = qGreen(colour) - qGreen(table[i]);
                int db = qBlue(colour) - qBlue(table[i]);
                int distance = dr * dr + dg * dg + db * db;
                if (distance < best_distance) {
                    best_distance = distance;
                    best = i;
                }
            }
            nearest.emplace(colour, uchar(best));
            dst[x] = uchar(best);
        }
    }
    return out;
}

// 16 colours in navy shades, for the log viewer's background.
QImage To16Navies(const QImage& image) {
    QVector<QRgb> table;
    for (int i = 0; i < 16; ++i) table.push_back(qRgb(2 + i * 6, 6 + i * 10, 48 + i * 14));
    return image.convertToFormat(QImage::Format_Indexed8, table, Qt::DiffuseDither);
}

// The sixteen colours of a 4-bit display.
QImage ToDisplay16(const QImage& image) {
    QVector<QRgb> table = {
        qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
        qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
        qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
        qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
    return image.convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither);
}

// One picture of the action window's animation (272 by 60): a sheet of paper travels from
// the folder on the left, past the emblem that looks it over, into the folder on the right.
// `frame` runs from 0 to 29.
QImage ActionFrame(int frame) {
    const int w = 272, h = 60;
    QImage image = NewImage(w, h);
    QPainter painter(&image);
    Antialias(painter);
    QLinearGradient fill(0, 0, 0, h);
    fill.setColorAt(0.0, QColor(20, 44, 130));
    fill.setColorAt(1.0, kDeepNavy);
    painter.fillRect(image.rect(), fill);

    auto folder = [&](qreal x) {
        painter.setPen(QPen(QColor(120, 80, 10), 1));
        painter.setBrush(kGold);
        QPainterPath path;
        path.moveTo(x, 20);
        path.lineTo(x + 14, 20);
        path.lineTo(x + 18, 24);
        path.lineTo(x + 40, 24);
        path.lineTo(x + 40, 50);
        path.lineTo(x, 50);
        path.closeSubpath();
        painter.drawPath(path);
        painter.setBrush(kPaleGold);
        painter.drawRect(QRectF(x + 2, 29, 36, 21));
    };
    folder(8);
    folder(224);
    DrawEmblem(painter, QRectF(120, 6, 32, 40));

    // The sheet follows a low arc from one folder to the other.
    const qreal t = frame / 29.0;
    const qreal x = 22 + t * (236 - 22);
    const qreal y = 24 - 16 * qSin(t * M_PI);
    painter.setPen(QPen(QColor(60, 60, 80), 1));
    painter.setBrush(kCream);
    painter.drawRect(QRectF(x - 7, y, 14, 18));
    painter.setPen(QPen(QColor(90, 120, 200), 1));
    for (int line = 0; line < 4; ++line)
        painter.drawLine(QPointF(x - 4, y + 4 + line * 3.5), QPointF(x + 4, y + 4 + line * 3.5));
    // A gold sweep under the emblem shows the file being looked at.
    const int dots = frame % 10;
    painter.setPen(Qt::NoPen);
    painter.setBrush(kPaleGold);
    for (int i = 0; i < 10; ++i) {
        const qreal size = i == dots ? 4 : 2;
        painter.drawEllipse(QPointF(96 + i * 8.5, 54), size / 2, size / 2);
    }
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

// One frame of the log viewer's globe (56 by 60 on black): meridians turn a little further
// with every frame, 35 frames for a whole turn of the pattern.
QImage GlobeFrame(int frame) {
    const int w = 56, h = 60;
    QImage image = NewImage(w, h, Qt::black);
    QPainter painter(&image);
    Antialias(painter);
    const QPointF centre(28, 30);
    const qreal radius = 25;
    QRadialGradient sea(centre - QPointF(8, 8), radius * 1.4);
    sea.setColorAt(0.0, QColor(90, 160, 255));
    sea.setColorAt(0.7, QColor(20, 60, 170));
    sea.setColorAt(1.0, QColor(6, 18, 70));
    painter.setPen(Qt::NoPen);
    painter.setBrush(sea);
    painter.drawEllipse(centre, radius, radius);

    // Land: blobs on the sphere that move with the turn and vanish at the edge.
    const qreal turn = frame * 2 * M_PI / 35.0;
    const struct {
        qreal longitude, latitude, size;
    } land[] = {{0.0, 0.5, 9},  {1.1, -0.3, 7}, {2.3, 0.2, 10},
                {3.6, -0.6, 6}, {4.7, 0.7, 8},  {5.5, -0.1, 7}};
    for (const auto& blob : land) {
        const qreal lon = blob.longitude + turn;
        const qreal depth = qCos(lon);
        if (depth <= 0) continue;
        const QPointF at(centre.x() + radius * qSin(lon) * qCos(blob.latitude),
                         centre.y() - radius * qSin(blob.latitude));
        painter.setBrush(QColor(40, 150, 60, int(120 + 135 * depth)));
        painter.drawEllipse(at, blob.size * depth / 2 + 1, blob.size / 2);
    }

    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(180, 210, 255, 110), 1));
    for (int i = 0; i < 4; ++i) {
        const qreal lon = turn + i * M_PI / 4;
        const qreal half = qAbs(radius * qSin(lon));
        painter.drawEllipse(centre, half, radius);
    }
    for (int i = -1; i <= 1; ++i) {
        const qreal y = centre.y() + i * radius / 2;
        const qreal half = qSqrt(radius * radius - (y - centre.y()) * (y - centre.y()));
        painter.drawLine(QPointF(centre.x() - half, y), QPointF(centre.x() + half, y));
    }
    painter.setPen(QPen(QColor(200, 230, 255), 1));
    painter.drawEllipse(centre, radius, radius);
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

struct Output {
    QString name;
    QImage image;
};

bool Save(const QImage& image, const QString& path, const char* format) {
    if (image.save(path, format)) return true;
    std::fprintf(stderr, "kestravo-picgen: cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: kestravo-picgen RESOURCE_FOLDER PROGRAM_FOLDER\n");
        return 2;
    }
    // Text is drawn with the system's fonts, which needs a GUI application but no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString resources = QString::fromLocal8Bit(argv[1]);
    const QString program = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(resources);
    QDir().mkpath(program);

    const QImage window = WindowBackground();
    const QImage page = PageBackground();
    const QImage internet = InternetPageBackground();
    const QImage tree = FolderTreeBackground();
    const QImage banner = BannerStrip();
    const QImage clean = SummaryClean();
    const QImage infected = SummaryInfected();

    const std::vector<Output> outputs = {
        // 16 bits per pixel and more.
        {"365", tree},
        {"1165", window},
        {"2665", page},
        {"3465", internet},
        {"repo165", ReportBackground()},
        {"repo265", banner},
        {"sum265", clean},
        {"sum165", infected},
        {"RepoL", To16Navies(LogViewerBackground())},
        // Exactly 8 bits per pixel.
        {"3256", To256Colours(tree)},
        {"11256", To256Colours(window)},
        {"26256", To256Colours(page)},
        {"4256", To256Colours(internet)},
        {"repo2256", To256Colours(banner)},
        {"sum2256", To256Colours(clean)},
        {"sum1256", To256Colours(infected)},
        // The about window's built-in title page, for displays of fewer than 8 bits.
        {"about1", ToDisplay16(AboutEmblem())},
        {"about2", ToDisplay16(AboutMagnifier())},
        {"kestravo", ProgramIcon()},
    };
    std::vector<Output> all = outputs;
    // The action window's animation, 16 colours, and the log viewer's globe, 256 colours.
    for (int frame = 0; frame < 30; ++frame)
        all.push_back({QString::number(331 + frame), ToDisplay16(ActionFrame(frame))});
    for (int frame = 0; frame < 35; ++frame)
        all.push_back({QString::number(1 + frame), To256Colours(GlobeFrame(frame))});

    bool ok = true;
    QString qrc = "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/\">\n";
    for (const Output& output : all) {
        ok = Save(output.image, resources + "/" + output.name + ".png", "PNG") && ok;
        qrc += QString("  <file alias=\"%1\">%1.png</file>\n").arg(output.name);
    }
    qrc += "</qresource>\n</RCC>\n";
    QFile file(resources + "/pictures.qrc");
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(qrc.toUtf8()) != qrc.toUtf8().size()) {
        std::fprintf(stderr, "kestravo-picgen: cannot write %s\n", qPrintable(file.fileName()));
        ok = false;
    }
    file.close();

    ok = Save(DownloadListBackground(), program + "/40.bmp", "BMP") && ok;
    ok = Save(AboutPicture(), program + "/St2.bmp", "BMP") && ok;
    return ok ? 0 : 1;
}
