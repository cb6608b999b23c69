// Draws the busy animation (resource 135): a 150 x 100 GIF89a of 30 frames,
// a ring of twelve beads with a bright head and a fading tail that turns once
// per cycle. The first frame shows for 2/100 s and the others for 7/100 s;
// every frame is whole and kept (disposal 1).
//   quellis-make-spinner OUTPUT.gif
#include "tools/gif_gen/gif_encoder.h"

#include <QColor>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstdio>
#include <fstream>

namespace
{

constexpr int kWidth = 150;
constexpr int kHeight = 100;
constexpr int kFrames = 30;
constexpr int kBeads = 12;
constexpr double kPi = 3.14159265358979323846;

const QColor kBackground(240, 240, 240); // the dialog's face
const QColor kTrack(214, 222, 226);
const QColor kHead(22, 122, 140); // the application icon's teal
const QColor kAccent(240, 160, 40); // its amber

QColor Mix(const QColor& from, const QColor& to, double amount)
{
    return QColor::fromRgbF(static_cast<float>(from.redF() + (to.redF() - from.redF()) * amount),
        static_cast<float>(from.greenF() + (to.greenF() - from.greenF()) * amount),
        static_cast<float>(from.blueF() + (to.blueF() - from.blueF()) * amount));
}

// Ramps from the background to the track, the teal and the amber, so that
// anti-aliased edges find a close colour.
quellis::tools::GifPalette MakePalette()
{
    quellis::tools::GifPalette palette;
    const auto set = [&](int index, const QColor& colour)
    {
        palette.colours[static_cast<std::size_t>(index)] = { static_cast<std::uint8_t>(colour.red()),
            static_cast<std::uint8_t>(colour.green()),
            static_cast<std::uint8_t>(colour.blue()) };
    };
    for (int i = 0; i < 32; ++i)
    {
        set(i, Mix(kBackground, kTrack, i / 31.0));
    }
    for (int i = 0; i < 160; ++i)
    {
        set(32 + i, Mix(kBackground, kHead, i / 159.0));
    }
    for (int i = 0; i < 64; ++i)
    {
        set(192 + i, Mix(kBackground, kAccent, i / 63.0));
    }
    return palette;
}

QImage DrawFrame(int frame)
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(kBackground);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(kWidth / 2.0, kHeight / 2.0);
    const double radius = 32.0;

    painter.setPen(QPen(kTrack, 2.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, radius, radius);

    // The head advances a full turn over the 30 frames; beads behind it fade.
    const double head = frame * 360.0 / kFrames;
    for (int bead = 0; bead < kBeads; ++bead)
    {
        const double angle = bead * 360.0 / kBeads;
        double behind = std::fmod(head - angle + 720.0, 360.0);
        const double strength = std::max(0.0, 1.0 - behind / 300.0);
        const double size = 3.0 + 3.5 * strength;
        const QColor colour = Mix(kBackground, kHead, 0.18 + 0.82 * strength);
        const double rad = (angle - 90.0) * kPi / 180.0;
        const QPointF at(centre.x() + radius * std::cos(rad), centre.y() + radius * std::sin(rad));
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(at, size, size);
    }
    // A small amber core pulses with the cycle.
    const double pulse = 0.5 + 0.5 * std::cos(frame * 2.0 * kPi / kFrames);
    painter.setBrush(Mix(kBackground, kAccent, 0.55 + 0.45 * pulse));
    painter.drawEllipse(centre, 5.0 + 2.0 * pulse, 5.0 + 2.0 * pulse);
    return image;
}

std::vector<std::uint8_t> ToIndexes(const QImage& image, const quellis::tools::GifPalette& palette)
{
    std::vector<std::uint8_t> indexes;
    indexes.reserve(static_cast<std::size_t>(kWidth * kHeight));
    for (int y = 0; y < kHeight; ++y)
    {
        for (int x = 0; x < kWidth; ++x)
        {
            const QRgb pixel = image.pixel(x, y);
            int best = 0;
            int bestDistance = 1 << 30;
            for (int i = 0; i < 256; ++i)
            {
                const auto& c = palette.colours[static_cast<std::size_t>(i)];
                const int dr = qRed(pixel) - c[0];
                const int dg = qGreen(pixel) - c[1];
                const int db = qBlue(pixel) - c[2];
                const int distance = dr * dr + dg * dg + db * db;
                if (distance < bestDistance)
                {
                    bestDistance = distance;
                    best = i;
                }
            }
            indexes.push_back(static_cast<std::uint8_t>(best));
        }
    }
    return indexes;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: quellis-make-spinner OUTPUT.gif\n");
        return 2;
    }
    const quellis::tools::GifPalette palette = MakePalette();
    std::vector<quellis::tools::GifFrameData> frames;
    for (int frame = 0; frame < kFrames; ++frame)
    {
        frames.push_back({ ToIndexes(DrawFrame(frame), palette), frame == 0 ? 2 : 7, 1 });
    }
    const auto bytes = quellis::tools::EncodeGif(kWidth, kHeight, palette, frames, true);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
    {
        std::fprintf(stderr, "quellis-make-spinner: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
