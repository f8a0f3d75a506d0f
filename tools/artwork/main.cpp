// orvane-artwork OUTPUT_DIR
//
// Draws every image of the launcher's user interface with QPainter: the window background, the
// tile and hint panels, the buttons in four colours and three states, the button icons, the
// progress bar, the checkbox, the scroll-bar pieces, the client logos per variant (with their
// disabled forms), the splash images, the footer links and the maker's logo. Each image is written
// at its size and at twice its size ("name@2x.png") for high-density screens. The drawing uses
// only generic shapes and the DejaVu font, and a fixed pseudo-random sequence, so the output is
// the same at every run. Run it under the offscreen platform (QT_QPA_PLATFORM=offscreen).
#include <QColor>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

using TDraw = std::function<void(QPainter&, const QSizeF&)>;

QString g_OutputDirectory;
QString g_FontFamily = QStringLiteral("DejaVu Sans");
int g_Written = 0;

// A small deterministic generator (SplitMix64), so that stars and ridges never change.
class TSequence {
public:
    explicit TSequence(quint64 seed) : m_State(seed) {}
    double next() {
        quint64 z = (m_State += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) / static_cast<double>(1ULL << 53);
    }

private:
    quint64 m_State;
};

QFont font(double pixelSize, int weight = QFont::Bold, double letterSpacing = 0) {
    QFont result(g_FontFamily);
    result.setPixelSize(qMax(1, qRound(pixelSize)));
    result.setWeight(weight);
    result.setHintingPreference(QFont::PreferNoHinting);
    result.setStyleStrategy(QFont::PreferAntialias);
    if (letterSpacing != 0)
        result.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return result;
}

bool save(const QImage& image, const QString& fileName) {
    const QString path = g_OutputDirectory + QLatin1Char('/') + fileName;
    const bool jpeg = fileName.endsWith(QLatin1String(".jpg"));
    if (!image.save(path, jpeg ? "JPG" : "PNG", jpeg ? 86 : -1)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    ++g_Written;
    return true;
}

// Renders the drawing at 1x and 2x: name.ext and name@2x.ext.
bool render(const QString& name, QSize size, const TDraw& draw, bool opaque = false) {
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    for (int scale : {1, 2}) {
        QImage image(size * scale, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
        image.fill(opaque ? QColor(Qt::black) : QColor(Qt::transparent));
        {
            QPainter painter(&image);
            painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                                   QPainter::SmoothPixmapTransform);
            painter.scale(scale, scale);
            draw(painter, QSizeF(size));
        }
        const QString fileName =
            scale == 1 ? name : name.left(dot) + QStringLiteral("@%1x").arg(scale) + name.mid(dot);
        if (!save(image, fileName))
            return false;
    }
    return true;
}

QImage desaturated(const QImage& source, double opacity) {
    QImage image = source.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = line[x];
            const int grey = qGray(pixel);
            const int value = (grey * 3 + 90) / 4; // a little lighter, flatter
            line[x] = qRgba(value, value, value, qRound(qAlpha(pixel) * opacity));
        }
    }
    return image;
}

// --- Pieces ------------------------------------------------------------------------------------

void drawPanel(QPainter& painter, const QRectF& rect, double radius, const QColor& fill,
               const QColor& frame) {
    painter.setPen(QPen(frame, 1.0));
    painter.setBrush(fill);
    painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    // A faint inner highlight along the top edge.
    painter.setPen(QPen(QColor(255, 255, 255, 28), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawLine(QPointF(rect.left() + radius, rect.top() + 1.5),
                     QPointF(rect.right() - radius, rect.top() + 1.5));
}

enum EButtonState { BUTTON_IDLE, BUTTON_HOVER, BUTTON_PRESSED };

void drawButton(QPainter& painter, const QSizeF& size, const QColor& base, EButtonState state) {
    const QRectF rect(QPointF(0, 0), size);
    QColor top = base.lighter(state == BUTTON_HOVER ? 150 : 128);
    QColor bottom = base.darker(state == BUTTON_HOVER ? 110 : 135);
    if (state == BUTTON_PRESSED)
        std::swap(top, bottom);
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0.0, top);
    gradient.setColorAt(0.48, base.lighter(state == BUTTON_HOVER ? 118 : 100));
    gradient.setColorAt(0.52, base.darker(state == BUTTON_PRESSED ? 125 : 108));
    gradient.setColorAt(1.0, bottom);
    painter.setPen(QPen(base.darker(230), 1.0));
    painter.setBrush(gradient);
    painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    if (state != BUTTON_PRESSED) {
        painter.setPen(QPen(QColor(255, 255, 255, state == BUTTON_HOVER ? 110 : 70), 1.0));
        painter.drawLine(QPointF(4, 1.5), QPointF(size.width() - 4, 1.5));
    }
}

void withShadow(QPainter& painter, const std::function<void(const QColor&)>& draw) {
    painter.save();
    painter.translate(0.0, 1.0);
    draw(QColor(0, 0, 0, 110));
    painter.restore();
    draw(QColor(250, 250, 240));
}

void drawIconDownload(QPainter& painter, const QSizeF&) {
    withShadow(painter, [&](const QColor& colour) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        QPainterPath arrow;
        arrow.moveTo(9.5, 2);
        arrow.lineTo(14.5, 2);
        arrow.lineTo(14.5, 10);
        arrow.lineTo(19, 10);
        arrow.lineTo(12, 17);
        arrow.lineTo(5, 10);
        arrow.lineTo(9.5, 10);
        arrow.closeSubpath();
        painter.drawPath(arrow);
        painter.setPen(QPen(colour, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        QPainterPath tray;
        tray.moveTo(3.5, 15.5);
        tray.lineTo(3.5, 20.5);
        tray.lineTo(20.5, 20.5);
        tray.lineTo(20.5, 15.5);
        painter.drawPath(tray);
    });
}

void drawIconUpdate(QPainter& painter, const QSizeF&) {
    withShadow(painter, [&](const QColor& colour) {
        painter.setPen(QPen(colour, 2.6, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(Qt::NoBrush);
        const QRectF circle(4.5, 4.5, 15, 15);
        painter.drawArc(circle, 30 * 16, 130 * 16);
        painter.drawArc(circle, 210 * 16, 130 * 16);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        // Arrow heads at the ends of both arcs, pointing along the turn.
        for (double angle : {160.0, 340.0}) {
            const double radians = angle * M_PI / 180.0;
            const QPointF tip(12 + 7.5 * std::cos(radians), 12 - 7.5 * std::sin(radians));
            const QPointF along(std::sin(radians), std::cos(radians)); // tangent, turning left
            const QPointF outward(std::cos(radians), -std::sin(radians));
            QPolygonF head;
            head << tip + along * 4.2 << tip + outward * 3.6 - along * 0.8
                 << tip - outward * 3.6 - along * 0.8;
            painter.drawPolygon(head);
        }
    });
}

void drawIconPlay(QPainter& painter, const QSizeF&) {
    withShadow(painter, [&](const QColor& colour) {
        painter.setPen(QPen(colour, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(colour);
        QPolygonF triangle;
        triangle << QPointF(7, 4) << QPointF(19.5, 12) << QPointF(7, 20);
        painter.drawPolygon(triangle);
    });
}

// The emblem of the game: a gold ring around a dark disc with a four-pointed star.
void drawEmblem(QPainter& painter, const QPointF& centre, double radius) {
    QRadialGradient ring(centre - QPointF(radius * 0.3, radius * 0.4), radius * 1.6);
    ring.setColorAt(0.0, QColor(0xF6, 0xDF, 0x94));
    ring.setColorAt(0.5, QColor(0xC9, 0x9A, 0x3C));
    ring.setColorAt(1.0, QColor(0x6E, 0x4E, 0x16));
    painter.setPen(QPen(QColor(0x3A, 0x2A, 0x0C), 1.0));
    painter.setBrush(ring);
    painter.drawEllipse(centre, radius, radius);
    QRadialGradient disc(centre, radius * 0.78);
    disc.setColorAt(0.0, QColor(0x2B, 0x3F, 0x6E));
    disc.setColorAt(1.0, QColor(0x0E, 0x14, 0x26));
    painter.setBrush(disc);
    painter.drawEllipse(centre, radius * 0.74, radius * 0.74);
    QPainterPath star;
    const double outer = radius * 0.62, inner = radius * 0.16;
    for (int i = 0; i < 8; ++i) {
        const double angle = M_PI / 2 + i * M_PI / 4;
        const double r = (i % 2 == 0) ? outer : inner;
        const QPointF point(centre.x() + r * std::cos(angle), centre.y() - r * std::sin(angle));
        if (i == 0)
            star.moveTo(point);
        else
            star.lineTo(point);
    }
    star.closeSubpath();
    QLinearGradient starFill(centre - QPointF(0, outer), centre + QPointF(0, outer));
    starFill.setColorAt(0.0, QColor(0xFF, 0xFA, 0xE6));
    starFill.setColorAt(1.0, QColor(0xB5, 0xD8, 0xF5));
    painter.setPen(Qt::NoPen);
    painter.setBrush(starFill);
    painter.drawPath(star);
}

struct TVariant {
    const char* name;  // as in the file name
    const char* label; // ribbon text, empty for the regular client
    QColor colour;
};

const TVariant VARIANTS[] = {
    {"QT", "", QColor()},
    {"Classic", "CLASSIC", QColor(0x9C, 0x6B, 0x2E)},
    {"Test", "TEST", QColor(0xA8, 0x2E, 0x2E)},
    {"Beta", "BETA", QColor(0x2E, 0x62, 0xA8)},
    {"Preview", "PREVIEW", QColor(0x6E, 0x3E, 0xA0)},
};

const QSize LOGO_SIZE(160, 72);

void drawWordmark(QPainter& painter, const QRectF& area, double size) {
    QPainterPath title;
    title.addText(0, 0, font(size, QFont::Black, 1.0), QStringLiteral("ORVANE"));
    const QRectF bounds = title.boundingRect();
    const double scale = std::min(1.0, area.width() / bounds.width());
    painter.save();
    painter.translate(area.left() + (area.width() - bounds.width() * scale) / 2 - bounds.left() * scale,
                      area.top() - bounds.top() * scale);
    painter.scale(scale, scale);
    QLinearGradient fill(0, bounds.top(), 0, bounds.bottom());
    fill.setColorAt(0.0, QColor(0xFF, 0xF3, 0xC4));
    fill.setColorAt(1.0, QColor(0xD0, 0xA2, 0x48));
    painter.setPen(QPen(QColor(0x24, 0x1A, 0x08), 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(title);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawPath(title);
    painter.restore();
}

void drawLogo(QPainter& painter, const QSizeF& size, const TVariant& variant) {
    drawEmblem(painter, QPointF(32, size.height() / 2), 24);
    drawWordmark(painter, QRectF(62, 17, 94, 24), 23);
    painter.setFont(font(9.5, QFont::Bold, 3.0));
    painter.setPen(QColor(0xDA, 0xDA, 0xBC));
    painter.drawText(QRectF(62, 43, 94, 13), Qt::AlignHCenter | Qt::AlignVCenter, QStringLiteral("ONLINE"));
    if (variant.label[0] != '\0') {
        // A ribbon across the top right corner.
        const QRectF ribbon(84, 0.5, 72, 15);
        painter.setPen(QPen(variant.colour.darker(180), 1.0));
        painter.setBrush(variant.colour);
        painter.drawRoundedRect(ribbon.adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
        painter.setFont(font(9, QFont::Bold, 1.2));
        painter.setPen(QColor(0xFF, 0xF8, 0xE8));
        painter.drawText(ribbon, Qt::AlignCenter, QString::fromLatin1(variant.label));
    }
}

bool renderLogo(const TVariant& variant) {
    const QString name = QStringLiteral("OrvaneLogo_%1").arg(QLatin1String(variant.name));
    const TDraw draw = [&](QPainter& painter, const QSizeF& size) { drawLogo(painter, size, variant); };
    if (!render(name + QStringLiteral(".png"), LOGO_SIZE, draw))
        return false;
    // The disabled form: the same picture, grey and faded.
    for (int scale : {1, 2}) {
        QImage image(LOGO_SIZE * scale, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
            painter.scale(scale, scale);
            draw(painter, QSizeF(LOGO_SIZE));
        }
        const QString suffix = scale == 1 ? QString() : QStringLiteral("@2x");
        if (!save(desaturated(image, 0.6),
                  name + QStringLiteral("_disabled") + suffix + QStringLiteral(".png")))
            return false;
    }
    return true;
}

// A splash card: the emblem and wordmark on a dark panel, with a line of text below.
void drawSplash(QPainter& painter, const QSizeF& size, const QString& caption) {
    const QRectF rect(QPointF(0, 0), size);
    QLinearGradient fill(rect.topLeft(), rect.bottomLeft());
    fill.setColorAt(0.0, QColor(0x1E, 0x2A, 0x48));
    fill.setColorAt(1.0, QColor(0x0C, 0x10, 0x1C));
    painter.setPen(QPen(QColor(0xC9, 0x9A, 0x3C), 1.0));
    painter.setBrush(fill);
    painter.drawRect(rect.adjusted(0.5, 0.5, -0.5, -0.5));
    const double unit = size.height() / 84.0;
    const double bottom = caption.isEmpty() ? 0 : 22 * unit;
    const double middle = (size.height() - bottom) / 2;
    drawEmblem(painter, QPointF(size.width() / 2 - 48 * unit, middle), 25 * unit);
    drawWordmark(painter, QRectF(size.width() / 2 - 18 * unit, middle - 17 * unit, 84 * unit, 22 * unit),
                 22 * unit);
    painter.setFont(font(9 * unit, QFont::Bold, 2.5 * unit));
    painter.setPen(QColor(0xDA, 0xDA, 0xBC));
    painter.drawText(QRectF(size.width() / 2 - 18 * unit, middle + 7 * unit, 84 * unit, 12 * unit),
                     Qt::AlignCenter, QStringLiteral("ONLINE"));
    if (!caption.isEmpty()) {
        painter.setFont(font(11 * unit, QFont::Bold));
        painter.drawText(QRectF(0, size.height() - bottom - 2 * unit, size.width(), bottom), Qt::AlignCenter,
                         caption);
    }
}

// Mountain ridge across the picture, made of a deterministic random walk.
QPainterPath ridge(TSequence& random, double width, double height, double base, double roughness) {
    QPainterPath path;
    path.moveTo(0, height);
    double y = base;
    for (double x = 0; x <= width + 20; x += 20) {
        y += (random.next() - 0.5) * roughness;
        y = std::clamp(y, base - roughness * 1.5, base + roughness * 1.5);
        path.lineTo(x, y);
    }
    path.lineTo(width + 20, height);
    path.closeSubpath();
    return path;
}

void drawBackground(QPainter& painter, const QSizeF& size) {
    const double w = size.width(), h = size.height();
    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0.00, QColor(0x0D, 0x14, 0x2B));
    sky.setColorAt(0.14, QColor(0x23, 0x2C, 0x55));
    sky.setColorAt(0.24, QColor(0x5A, 0x3B, 0x62));
    sky.setColorAt(0.31, QColor(0xB8, 0x6A, 0x4C));
    sky.setColorAt(0.36, QColor(0x2A, 0x20, 0x30));
    sky.setColorAt(0.60, QColor(0x14, 0x15, 0x1F));
    sky.setColorAt(1.00, QColor(0x0B, 0x0C, 0x12));
    painter.fillRect(QRectF(0, 0, w, h), sky);
    TSequence random(0x0EA7);
    // Stars in the upper sky.
    for (int i = 0; i < 140; ++i) {
        const QPointF point(random.next() * w, random.next() * h * 0.22);
        const double r = 0.3 + random.next() * 0.9;
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 250, 230, 60 + static_cast<int>(random.next() * 160)));
        painter.drawEllipse(point, r, r);
    }
    // A low moon glow.
    QRadialGradient glow(QPointF(w * 0.72, h * 0.2), h * 0.22);
    glow.setColorAt(0.0, QColor(255, 220, 170, 120));
    glow.setColorAt(1.0, QColor(255, 220, 170, 0));
    painter.setBrush(glow);
    painter.drawRect(QRectF(0, 0, w, h * 0.5));
    painter.setBrush(QColor(0xF4, 0xE6, 0xC8));
    painter.drawEllipse(QPointF(w * 0.72, h * 0.2), 13, 13);
    // Three ridges, far to near.
    const QColor ridges[] = {QColor(0x3B, 0x2F, 0x4E), QColor(0x24, 0x1F, 0x33), QColor(0x13, 0x12, 0x1C)};
    const double bases[] = {h * 0.27, h * 0.31, h * 0.36};
    const double roughness[] = {26, 20, 14};
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(ridges[i]);
        painter.drawPath(ridge(random, w, h, bases[i], roughness[i]));
    }
    // Fade the lower part into the dark ground behind the tiles.
    QLinearGradient ground(0, h * 0.36, 0, h);
    ground.setColorAt(0.0, QColor(0x13, 0x12, 0x1C, 0));
    ground.setColorAt(0.25, QColor(0x10, 0x11, 0x19, 230));
    ground.setColorAt(1.0, QColor(0x0A, 0x0B, 0x10, 255));
    painter.setBrush(ground);
    painter.drawRect(QRectF(0, h * 0.36, w, h * 0.64));
}

void drawChatGlyph(QPainter& painter, const QSizeF& size) {
    const QRectF rect(QPointF(0, 0), size);
    painter.setPen(QPen(QColor(0x1A, 0x1A, 0x14), 1.0));
    painter.setBrush(QColor(0xDA, 0xDA, 0xBC));
    painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    // A speech bubble with three lines of text.
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(5, 6, 18, 12), 3, 3);
    QPolygonF tail;
    tail << QPointF(9, 17) << QPointF(8, 22.5) << QPointF(14, 17);
    bubble.addPolygon(tail);
    bubble = bubble.simplified();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x22, 0x2A, 0x3A));
    painter.drawPath(bubble);
    painter.setPen(QPen(QColor(0xDA, 0xDA, 0xBC), 1.4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(8.5, 10), QPointF(19.5, 10));
    painter.drawLine(QPointF(8.5, 14), QPointF(16, 14));
}

void drawHeadsetGlyph(QPainter& painter, const QSizeF& size) {
    const QRectF rect(QPointF(0, 0), size);
    painter.setPen(QPen(QColor(0x1A, 0x1A, 0x14), 1.0));
    painter.setBrush(QColor(0xDA, 0xDA, 0xBC));
    painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    // A headset: a band and two ear cups.
    const QColor ink(0x22, 0x2A, 0x3A);
    painter.setPen(QPen(ink, 2.2, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(6, 5, 16, 16), 0, 180 * 16);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ink);
    painter.drawRoundedRect(QRectF(4.5, 12, 5, 9), 2, 2);
    painter.drawRoundedRect(QRectF(18.5, 12, 5, 9), 2, 2);
    painter.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(7, 21), QPointF(12, 23.5));
}

void drawInfoCircle(QPainter& painter, const QSizeF& size) {
    const QColor colour(0xDA, 0xDA, 0xBC);
    painter.setPen(QPen(colour, 1.6));
    painter.setBrush(QColor(0, 0, 0, 90));
    painter.drawEllipse(QRectF(1, 1, size.width() - 2, size.height() - 2));
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QPointF(size.width() / 2, 5.8), 1.4, 1.4);
    painter.drawRoundedRect(QRectF(size.width() / 2 - 1.2, 8.2, 2.4, 7.6), 1, 1);
}

void drawMakerLogo(QPainter& painter, const QSizeF& size) {
    // A hexagon with a chevron, then the name.
    const QColor colour(0xDA, 0xDA, 0xBC);
    const QPointF centre(14, size.height() / 2);
    QPolygonF hexagon;
    for (int i = 0; i < 6; ++i) {
        const double angle = M_PI / 6 + i * M_PI / 3;
        hexagon << QPointF(centre.x() + 12 * std::cos(angle), centre.y() + 12 * std::sin(angle));
    }
    painter.setPen(QPen(colour, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(QColor(0, 0, 0, 80));
    painter.drawPolygon(hexagon);
    painter.drawLine(QPointF(10, 8.5), QPointF(10, 23.5));
    painter.drawLine(QPointF(19, 8.5), QPointF(12, 16));
    painter.drawLine(QPointF(12, 16), QPointF(19, 23.5));
    painter.setFont(font(13, QFont::Bold, 2.2));
    painter.setPen(colour);
    painter.drawText(QRectF(32, 0, size.width() - 32, size.height()), Qt::AlignVCenter | Qt::AlignLeft,
                     QStringLiteral("KETTREL"));
}

void drawCheckbox(QPainter& painter, const QSizeF& size, bool checked) {
    painter.setPen(QPen(QColor(0xDA, 0xDA, 0xBC), 1.0));
    painter.setBrush(QColor(0x14, 0x15, 0x1C, 220));
    painter.drawRoundedRect(QRectF(QPointF(0, 0), size).adjusted(1.5, 1.5, -1.5, -1.5), 2.5, 2.5);
    if (checked) {
        painter.setPen(QPen(QColor(0x8E, 0xD8, 0x38), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath mark;
        mark.moveTo(4.2, 8.2);
        mark.lineTo(7, 11.2);
        mark.lineTo(12, 4.8);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(mark);
    }
}

void drawArrow(QPainter& painter, const QSizeF& size, bool up, bool pressed) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(pressed ? QColor(0x8E, 0xD8, 0x38) : QColor(0xDA, 0xDA, 0xBC, 200));
    const double w = size.width(), h = size.height();
    QPolygonF triangle;
    if (up)
        triangle << QPointF(w / 2, h * 0.28) << QPointF(w * 0.82, h * 0.72) << QPointF(w * 0.18, h * 0.72);
    else
        triangle << QPointF(w * 0.18, h * 0.28) << QPointF(w * 0.82, h * 0.28) << QPointF(w / 2, h * 0.72);
    painter.drawPolygon(triangle);
}

bool renderAll() {
    bool ok = true;
    ok &= render(QStringLiteral("BackgroundImage.jpg"), QSize(800, 600), drawBackground, true);

    const struct {
        const char* name;
        QColor colour;
    } colours[] = {{"Red", QColor(0xB3, 0x33, 0x2B)},
                   {"Blue", QColor(0x2C, 0x68, 0xB0)},
                   {"Orange", QColor(0xD3, 0x7E, 0x26)},
                   {"Green", QColor(0x4A, 0x97, 0x29)}};
    const struct {
        const char* name;
        EButtonState state;
    } states[] = {{"idle", BUTTON_IDLE}, {"hover", BUTTON_HOVER}, {"pressed", BUTTON_PRESSED}};
    for (const auto& colour : colours) {
        for (const auto& state : states) {
            ok &= render(
                QStringLiteral("Button_%1_%2.png").arg(QLatin1String(colour.name), QLatin1String(state.name)),
                QSize(98, 40), [&](QPainter& painter, const QSizeF& size) {
                    drawButton(painter, size, colour.colour, state.state);
                });
        }
    }
    const QSize iconSize(24, 24);
    ok &= render(QStringLiteral("Icon_Download.png"), iconSize, drawIconDownload);
    ok &= render(QStringLiteral("Icon_Update.png"), iconSize, drawIconUpdate);
    ok &= render(QStringLiteral("Icon_Play.png"), iconSize, drawIconPlay);
    // The unknown status has no caption: its icon is empty.
    ok &= render(QStringLiteral("Icon_.png"), iconSize, [](QPainter&, const QSizeF&) {});

    ok &= render(QStringLiteral("ProgressBar_BG.png"), QSize(98, 40),
                 [](QPainter& painter, const QSizeF& size) {
                     QLinearGradient fill(0, 0, 0, size.height());
                     fill.setColorAt(0.0, QColor(0x0A, 0x0B, 0x10));
                     fill.setColorAt(1.0, QColor(0x22, 0x24, 0x2E));
                     drawPanel(painter, QRectF(QPointF(0, 0), size), 4, QColor(0x15, 0x16, 0x1E),
                               QColor(0x5E, 0x5A, 0x46));
                     painter.setPen(Qt::NoPen);
                     painter.setBrush(fill);
                     painter.drawRoundedRect(QRectF(2, 2, size.width() - 4, size.height() - 4), 3, 3);
                 });
    ok &= render(QStringLiteral("ProgressBar.png"), QSize(98, 40), [](QPainter& painter, const QSizeF& size) {
        QLinearGradient fill(0, 0, 0, size.height());
        fill.setColorAt(0.0, QColor(0x9C, 0xE0, 0x4E));
        fill.setColorAt(0.5, QColor(0x5E, 0xA8, 0x2C));
        fill.setColorAt(1.0, QColor(0x33, 0x6E, 0x16));
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(QPointF(0, 0), size), 3, 3);
    });

    ok &= render(QStringLiteral("checkbox-unchecked.png"), QSize(16, 16),
                 [](QPainter& painter, const QSizeF& size) { drawCheckbox(painter, size, false); });
    ok &= render(QStringLiteral("checkbox-checked.png"), QSize(16, 16),
                 [](QPainter& painter, const QSizeF& size) { drawCheckbox(painter, size, true); });

    // Nine-slice panels: the tile (16 pixel borders) and the hint area (5 pixel borders).
    ok &=
        render(QStringLiteral("clientpackage-background.png"), QSize(48, 48),
               [](QPainter& painter, const QSizeF& size) {
                   drawPanel(painter, QRectF(QPointF(0, 0), size), 8, QColor(0x16, 0x18, 0x22, 215),
                             QColor(0x6B, 0x66, 0x50));
                   painter.setPen(QPen(QColor(0xC9, 0x9A, 0x3C, 90), 1.0));
                   painter.setBrush(Qt::NoBrush);
                   painter.drawRoundedRect(QRectF(QPointF(0, 0), size).adjusted(3.5, 3.5, -3.5, -3.5), 6, 6);
               });
    ok &= render(
        QStringLiteral("hint-background.png"), QSize(24, 24), [](QPainter& painter, const QSizeF& size) {
            painter.fillRect(QRectF(QPointF(0, 0), size), QColor(0x10, 0x11, 0x18, 200));
            painter.setPen(QPen(QColor(0x6B, 0x66, 0x50), 1.0));
            painter.drawLine(QPointF(0, 0.5), QPointF(size.width(), 0.5));
            painter.setPen(QPen(QColor(0x6B, 0x66, 0x50, 120), 1.0));
            painter.drawLine(QPointF(0.5, 0), QPointF(0.5, size.height()));
            painter.drawLine(QPointF(size.width() - 0.5, 0), QPointF(size.width() - 0.5, size.height()));
        });

    // Scroll bar pieces, 12 pixels wide.
    ok &= render(QStringLiteral("scrollbar-texture-vertical.png"), QSize(12, 24),
                 [](QPainter& painter, const QSizeF& size) {
                     painter.setPen(Qt::NoPen);
                     painter.setBrush(QColor(0, 0, 0, 90));
                     painter.drawRoundedRect(QRectF(3, 0, size.width() - 6, size.height()), 3, 3);
                 });
    ok &= render(QStringLiteral("scrollbar-handle-vertical.png"), QSize(12, 24),
                 [](QPainter& painter, const QSizeF& size) {
                     QLinearGradient fill(0, 0, size.width(), 0);
                     fill.setColorAt(0.0, QColor(0xA8, 0xA6, 0x8A));
                     fill.setColorAt(1.0, QColor(0x6E, 0x6B, 0x55));
                     painter.setPen(QPen(QColor(0x2A, 0x28, 0x1E), 1.0));
                     painter.setBrush(fill);
                     painter.drawRoundedRect(QRectF(2.5, 0.5, size.width() - 5, size.height() - 1), 3.5, 3.5);
                 });
    for (bool up : {true, false}) {
        for (bool pressed : {false, true}) {
            ok &= render(QStringLiteral("scrollbar-button%1-%2.png")
                             .arg(QLatin1String(up ? "up" : "down"), QLatin1String(pressed ? "down" : "up")),
                         QSize(12, 12), [=](QPainter& painter, const QSizeF& size) {
                             drawArrow(painter, size, up, pressed);
                         });
        }
    }

    for (const TVariant& variant : VARIANTS)
        ok &= renderLogo(variant);
    // The splash images of the start-up: the default one doubles as the size of every tile logo.
    ok &= render(QStringLiteral("LauncherLogo_QT.png"), LOGO_SIZE,
                 [](QPainter& painter, const QSizeF& size) { drawSplash(painter, size, QString()); });
    ok &= render(QStringLiteral("LauncherLogo_UpdatingLauncher.png"), QSize(336, 190),
                 [](QPainter& painter, const QSizeF& size) {
                     drawSplash(painter, size, QStringLiteral("Updating the launcher…"));
                 });
    ok &= render(QStringLiteral("OrvaneLogo_LaunchingClient.png"), QSize(336, 190),
                 [](QPainter& painter, const QSizeF& size) {
                     drawSplash(painter, size, QStringLiteral("Starting the game…"));
                 });

    // Footer.
    ok &= render(QStringLiteral("icircle.png"), QSize(20, 20), drawInfoCircle);
    ok &= render(QStringLiteral("Twitter.png"), QSize(28, 28), drawChatGlyph);
    ok &= render(QStringLiteral("Discord.png"), QSize(28, 28), drawHeadsetGlyph);
    ok &= render(QStringLiteral("KettrelLogo.png"), QSize(120, 32), drawMakerLogo);
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: orvane-artwork OUTPUT_DIR\n");
        return 2;
    }
    g_OutputDirectory = arguments.at(1);
    if (!QDir().mkpath(g_OutputDirectory)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(g_OutputDirectory));
        return 1;
    }
    // The font comes from a file, so that the drawing does not depend on the font configuration.
    const int id = QFontDatabase::addApplicationFont(
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"));
    if (id >= 0 && !QFontDatabase::applicationFontFamilies(id).isEmpty())
        g_FontFamily = QFontDatabase::applicationFontFamilies(id).first();
    if (!renderAll())
        return 1;
    std::printf("wrote %d images to %s\n", g_Written, qPrintable(g_OutputDirectory));
    return 0;
}
