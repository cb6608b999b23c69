// Draws the program's icons at every size they are embedded at and saves them
// as PNG files into the directory given. Painting into a QImage needs neither
// a display nor a platform plugin, so this runs on a build machine as is.
//
// Each icon is drawn on a 256-unit square scaled to the target size; below 32
// pixels the fine parts (vents, fan blades, rays' glow) are left out so the
// shapes stay readable.

#include "resources/resource_ids.h"

#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRadialGradient>
#include <QRectF>
#include <QString>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>

namespace
{

using quellis::resources::IconFileName;
using quellis::resources::IconSizes;

constexpr double kUnits = 256.0;

struct Detail
{
    bool fine = true; // vents, fan blades, glow
};

QColor Rgb(unsigned rgb, int alpha = 255)
{
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF, alpha);
}

// One rack unit: a light slab with a status light, vents and a fan.
void DrawUnit(QPainter& painter, const QRectF& slab, QColor light, Detail detail)
{
    QLinearGradient face(slab.topLeft(), slab.bottomLeft());
    face.setColorAt(0.0, Rgb(0xE8EEF3));
    face.setColorAt(1.0, Rgb(0xA9B6C2));
    painter.setPen(QPen(Rgb(0x0A1622, 160), detail.fine ? 2.0 : 0.0));
    painter.setBrush(face);
    painter.drawRoundedRect(slab, 6, 6);

    // The status light with a soft halo.
    const QPointF lightCentre(slab.left() + slab.height() * 0.55, slab.center().y());
    const double lightRadius = detail.fine ? slab.height() * 0.17 : slab.height() * 0.26;
    if (detail.fine)
    {
        QRadialGradient halo(lightCentre, lightRadius * 2.4);
        QColor glow = light;
        glow.setAlpha(120);
        halo.setColorAt(0.0, glow);
        glow.setAlpha(0);
        halo.setColorAt(1.0, glow);
        painter.setPen(Qt::NoPen);
        painter.setBrush(halo);
        painter.drawEllipse(lightCentre, lightRadius * 2.4, lightRadius * 2.4);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(light);
    painter.drawEllipse(lightCentre, lightRadius, lightRadius);

    const double fanRadius = slab.height() * 0.34;
    const QPointF fanCentre(slab.right() - slab.height() * 0.55, slab.center().y());
    if (detail.fine)
    {
        // Vent slots between the light and the fan.
        painter.setPen(QPen(Rgb(0x5B6B7A), 3.0, Qt::SolidLine, Qt::RoundCap));
        const double top = slab.top() + slab.height() * 0.3;
        const double bottom = slab.bottom() - slab.height() * 0.3;
        for (double x = slab.left() + slab.height() * 1.15; x < fanCentre.x() - fanRadius * 1.6; x += 9.0)
        {
            painter.drawLine(QPointF(x, top), QPointF(x, bottom));
        }
        // The fan: a dark disc with curved blades.
        painter.setPen(Qt::NoPen);
        painter.setBrush(Rgb(0x34414E));
        painter.drawEllipse(fanCentre, fanRadius, fanRadius);
        painter.setBrush(Rgb(0x8FA0B0));
        for (int blade = 0; blade < 4; ++blade)
        {
            painter.save();
            painter.translate(fanCentre);
            painter.rotate(blade * 90.0 + 20.0);
            QPainterPath path;
            path.moveTo(0, 0);
            path.quadTo(fanRadius * 0.55, -fanRadius * 0.45, fanRadius * 0.85, -fanRadius * 0.1);
            path.quadTo(fanRadius * 0.45, fanRadius * 0.05, 0, 0);
            painter.drawPath(path);
            painter.restore();
        }
        painter.setBrush(Rgb(0xC9D3DC));
        painter.drawEllipse(fanCentre, fanRadius * 0.2, fanRadius * 0.2);
    }
    else
    {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Rgb(0x34414E));
        painter.drawEllipse(fanCentre, fanRadius * 1.1, fanRadius * 1.1);
    }
}

// The farm tool: a rack of three machines on a deep teal tile, with an amber
// badge carrying a pulse line for "watched".
void DrawApplication(QPainter& painter, Detail detail)
{
    const QRectF tile(8, 8, 240, 240);
    QLinearGradient background(tile.topLeft(), tile.bottomRight());
    background.setColorAt(0.0, Rgb(0x1D5C6E));
    background.setColorAt(1.0, Rgb(0x0C2733));
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(tile, 48, 48);
    if (detail.fine)
    {
        // A faint upper rim catches light like a real tile's edge.
        painter.setPen(QPen(Rgb(0xFFFFFF, 40), 3.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(tile.adjusted(3, 3, -3, -3), 45, 45);
    }

    // The rack frame and its three units.
    const QRectF frame(36, 40, 184, 172);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Rgb(0x0A1A24, 200));
    painter.drawRoundedRect(frame, 14, 14);
    const double gap = detail.fine ? 10.0 : 14.0;
    const double unitHeight = (frame.height() - 4 * gap) / 3.0;
    const QColor lights[] = { Rgb(0x3BE08A), Rgb(0x3BE08A), Rgb(0xFFC23D) };
    for (int unit = 0; unit < 3; ++unit)
    {
        const QRectF slab(
            frame.left() + gap, frame.top() + gap + unit * (unitHeight + gap), frame.width() - 2 * gap, unitHeight);
        DrawUnit(painter, slab, lights[unit], detail);
    }

    // The badge, cut out of the rack by a ring of the tile's colour.
    const QPointF badgeCentre(194, 194);
    const double badgeRadius = detail.fine ? 44.0 : 52.0;
    painter.setBrush(Rgb(0x0C2733));
    painter.drawEllipse(badgeCentre, badgeRadius + 8, badgeRadius + 8);
    QRadialGradient amber(badgeCentre - QPointF(14, 16), badgeRadius * 1.5);
    amber.setColorAt(0.0, Rgb(0xFFD27A));
    amber.setColorAt(1.0, Rgb(0xF08A1C));
    painter.setBrush(amber);
    painter.drawEllipse(badgeCentre, badgeRadius, badgeRadius);

    // A heartbeat trace; at small sizes a single peak, which stays a peak in a few pixels.
    QPainterPath pulse;
    const double w = badgeRadius * 0.78;
    const double h = badgeRadius * 0.55;
    pulse.moveTo(badgeCentre + QPointF(-w, 0));
    if (detail.fine)
    {
        pulse.lineTo(badgeCentre + QPointF(-w * 0.42, 0));
        pulse.lineTo(badgeCentre + QPointF(-w * 0.2, -h));
        pulse.lineTo(badgeCentre + QPointF(w * 0.12, h));
        pulse.lineTo(badgeCentre + QPointF(w * 0.36, -h * 0.35));
        pulse.lineTo(badgeCentre + QPointF(w * 0.5, 0));
    }
    else
    {
        pulse.lineTo(badgeCentre + QPointF(-w * 0.45, h * 0.3));
        pulse.lineTo(badgeCentre + QPointF(0, -h * 1.1));
        pulse.lineTo(badgeCentre + QPointF(w * 0.45, h * 0.3));
    }
    pulse.lineTo(badgeCentre + QPointF(w, 0));
    painter.setPen(QPen(Rgb(0xFFFFFF), detail.fine ? 9.0 : 14.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(pulse);
}

// The serial-port lamp: a glass dome in a metal bezel. Lit, it glows red and
// sends out rays; unlit, it is dim grey glass. The bezel and dome are the same
// in both, so switching icons reads as the lamp turning on.
void DrawLamp(QPainter& painter, bool lit, Detail detail)
{
    const QPointF centre(128, 128);
    const double bezel = detail.fine ? 78.0 : 86.0;
    const double glass = bezel - (detail.fine ? 14.0 : 16.0);

    if (lit)
    {
        QRadialGradient glow(centre, 126);
        glow.setColorAt(0.45, Rgb(0xFF3020, 150));
        glow.setColorAt(1.0, Rgb(0xFF3020, 0));
        painter.setPen(Qt::NoPen);
        painter.setBrush(glow);
        painter.drawEllipse(centre, 126, 126);

        painter.setPen(QPen(Rgb(0xF22A1C), detail.fine ? 14.0 : 20.0, Qt::SolidLine, Qt::RoundCap));
        constexpr int kRays = 8;
        for (int ray = 0; ray < kRays; ++ray)
        {
            const double angle = ray * 2.0 * std::numbers::pi / kRays + std::numbers::pi / kRays;
            const QPointF direction(std::cos(angle), std::sin(angle));
            painter.drawLine(centre + direction * (bezel + 14), centre + direction * 118);
        }
    }

    QLinearGradient metal(centre - QPointF(0, bezel), centre + QPointF(0, bezel));
    metal.setColorAt(0.0, Rgb(0xD5DAE0));
    metal.setColorAt(0.5, Rgb(0x7C858F));
    metal.setColorAt(1.0, Rgb(0x3E454D));
    painter.setPen(QPen(Rgb(0x1E2328), 4.0));
    painter.setBrush(metal);
    painter.drawEllipse(centre, bezel, bezel);

    QRadialGradient dome(centre - QPointF(glass * 0.3, glass * 0.35), glass * 1.35);
    if (lit)
    {
        dome.setColorAt(0.0, Rgb(0xFFE9DC));
        dome.setColorAt(0.25, Rgb(0xFF6A4E));
        dome.setColorAt(0.7, Rgb(0xE0140C));
        dome.setColorAt(1.0, Rgb(0x8A0606));
    }
    else
    {
        dome.setColorAt(0.0, Rgb(0x8C9096));
        dome.setColorAt(0.5, Rgb(0x50555B));
        dome.setColorAt(1.0, Rgb(0x25282C));
    }
    painter.setPen(QPen(Rgb(0x15181B), 3.0));
    painter.setBrush(dome);
    painter.drawEllipse(centre, glass, glass);

    // The reflection on the glass, brighter on the lit lamp.
    const QRectF shine(centre.x() - glass * 0.62, centre.y() - glass * 0.72, glass * 0.8, glass * 0.5);
    QLinearGradient reflection(shine.topLeft(), shine.bottomLeft());
    reflection.setColorAt(0.0, Rgb(0xFFFFFF, lit ? 200 : 120));
    reflection.setColorAt(1.0, Rgb(0xFFFFFF, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(reflection);
    painter.drawEllipse(shine);
}

bool Render(int id, const std::filesystem::path& directory, const std::function<void(QPainter&, Detail)>& draw)
{
    for (const int size : IconSizes(id))
    {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.scale(size / kUnits, size / kUnits);
            draw(painter, Detail { size >= 32 });
        }
        const std::filesystem::path file = directory / IconFileName(id, size);
        if (!image.save(QString::fromStdString(file.string()), "PNG"))
        {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace quellis::resources;
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    std::error_code error;
    std::filesystem::create_directories(directory, error);

    const bool written = Render(kIconApplication, directory, DrawApplication)
        && Render(kIconLampOff, directory, [](QPainter& painter, Detail detail) { DrawLamp(painter, false, detail); })
        && Render(kIconLampOn, directory, [](QPainter& painter, Detail detail) { DrawLamp(painter, true, detail); });
    return written ? 0 : 1;
}
