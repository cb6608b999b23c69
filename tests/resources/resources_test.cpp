#include "controls/gif_frames.h"
#include "resources/resource_ids.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace quellis::resources
{
namespace
{

const std::filesystem::path kRunDirectory = QUELLIS_RUN_DIR;
const std::filesystem::path kSourceDirectory = std::filesystem::path(QUELLIS_SOURCE_DIR) / "resources";
constexpr int kIconIds[] = { kIconApplication, kIconLampOff, kIconLampOn };

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

QImage LoadIcon(int id, int size)
{
    return QImage(QString::fromStdString(ResourcePath(ResourceKind::Icon, id, size)));
}

bool IsRed(QRgb pixel)
{
    const QColor colour = QColor::fromRgba(pixel);
    return colour.alpha() >= 128 && colour.red() >= 150 && colour.green() <= 90 && colour.blue() <= 90;
}

int CountPixels(const QImage& image, bool (*predicate)(QRgb))
{
    const QImage plain = image.convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < plain.height(); ++y)
    {
        for (int x = 0; x < plain.width(); ++x)
        {
            count += predicate(plain.pixel(x, y)) ? 1 : 0;
        }
    }
    return count;
}

TEST(Icons, EveryIconLoadsAtEverySizeItIsDrawnAt)
{
    EXPECT_EQ(std::set<int>(IconSizes(kIconApplication).begin(), IconSizes(kIconApplication).end()),
        (std::set<int> { 16, 24, 32, 48, 64, 128, 256 }));
    for (const int id : kIconIds)
    {
        ASSERT_FALSE(IconSizes(id).empty()) << id;
        for (const int size : IconSizes(id))
        {
            const QImage image = LoadIcon(id, size);
            ASSERT_FALSE(image.isNull()) << id << "@" << size;
            EXPECT_EQ(image.width(), size) << id << "@" << size;
            EXPECT_EQ(image.height(), size) << id << "@" << size;
            // Drawn, not blank: a good part of the square is opaque.
            const int opaque = CountPixels(image, [](QRgb pixel) { return qAlpha(pixel) >= 200; });
            EXPECT_GT(opaque, size * size / 5) << id << "@" << size;
        }
    }
    // The lamps are loaded at the system icon size, 32 by 32, and must not be stretched.
    for (const int id : { kIconLampOff, kIconLampOn })
    {
        EXPECT_EQ(IconSizeFor(id, 32), 32);
        EXPECT_EQ(LoadIcon(id, 32).size(), LoadIcon(kIconApplication, 32).size());
    }
}

TEST(Icons, ResourceTreeHoldsExactlyTheListedIcons)
{
    std::set<std::string> listed;
    for (const int id : kIconIds)
    {
        for (const int size : IconSizes(id))
        {
            listed.insert(IconFileName(id, size));
        }
    }
    std::set<std::string> embedded;
    for (const QString& name : QDir(QStringLiteral(":/icons")).entryList(QDir::Files))
    {
        embedded.insert(name.toStdString());
    }
    EXPECT_EQ(embedded, listed);
}

TEST(Icons, LitLampGlowsRedAndUnlitHasNoRed)
{
    for (const int size : IconSizes(kIconLampOn))
    {
        const QImage lit = LoadIcon(kIconLampOn, size);
        const QImage unlit = LoadIcon(kIconLampOff, size);
        ASSERT_FALSE(lit.isNull() || unlit.isNull()) << size;
        EXPECT_GT(CountPixels(lit, IsRed), size * size / 8) << size;
        EXPECT_EQ(CountPixels(unlit, IsRed), 0) << size;
    }
}

TEST(ResourcePath, NamesOnlyWhatIsEmbedded)
{
    EXPECT_EQ(ResourcePath(ResourceKind::Icon, kIconApplication, 32), ":/icons/128-32.png");
    EXPECT_EQ(ResourcePath(ResourceKind::Icon, kIconLampOn, 48), ":/icons/131-48.png");
    EXPECT_EQ(ResourcePath(ResourceKind::Icon, kIconLampOn, 64), ""); // lamps stop at 48
    EXPECT_EQ(ResourcePath(ResourceKind::Icon, kIconApplication, 20), "");
    EXPECT_EQ(ResourcePath(ResourceKind::Icon, 129, 32), "");
    EXPECT_TRUE(LoadIcon(kIconApplication, 20).isNull());

    // A wanted size maps to the nearest drawn one at or above it, else the largest.
    const struct
    {
        int id;
        int wanted;
        int drawn;
    } picks[] = {
        { kIconLampOff, 32, 32 },
        { kIconLampOff, 33, 48 },
        { kIconLampOff, 100, 48 },
        { kIconLampOn, 1, 16 },
        { kIconApplication, 40, 48 },
        { kIconApplication, 256, 256 },
        { kIconApplication, 512, 256 },
        { 129, 32, 0 },
    };
    for (const auto& pick : picks)
    {
        EXPECT_EQ(IconSizeFor(pick.id, pick.wanted), pick.drawn) << pick.id << " " << pick.wanted;
    }
    EXPECT_EQ(kAboutMenuText, "\xE5\x85\xB3\xE4\xBA\x8E Quellis(&A)...");
}

// The fields of a plain PCM wave file that a player needs.
struct Wave
{
    std::uint16_t format = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t byteRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bits = 0;
    std::string data;
};

std::uint32_t Little(const std::string& bytes, std::size_t at, int size)
{
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i)
    {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

// Walks the chunks after the RIFF header; nothing for a file that breaks the layout.
std::optional<Wave> ParseWave(const std::string& bytes)
{
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0
        || Little(bytes, 4, 4) != bytes.size() - 8)
    {
        return std::nullopt;
    }
    Wave wave;
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();)
    {
        const std::string id = bytes.substr(at, 4);
        const std::uint32_t size = Little(bytes, at + 4, 4);
        if (size > bytes.size() - at - 8)
        {
            return std::nullopt;
        }
        if (id == "fmt ")
        {
            if (size != 16)
            {
                return std::nullopt;
            }
            wave.format = static_cast<std::uint16_t>(Little(bytes, at + 8, 2));
            wave.channels = static_cast<std::uint16_t>(Little(bytes, at + 10, 2));
            wave.sampleRate = Little(bytes, at + 12, 4);
            wave.byteRate = Little(bytes, at + 16, 4);
            wave.blockAlign = static_cast<std::uint16_t>(Little(bytes, at + 20, 2));
            wave.bits = static_cast<std::uint16_t>(Little(bytes, at + 22, 2));
            haveFormat = true;
        }
        else if (id == "data")
        {
            wave.data = bytes.substr(at + 8, size);
            return haveFormat ? std::optional(wave) : std::nullopt;
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

TEST(AlarmSound, RunDirectoryHasAShortAudible16BitPcmWave)
{
    const std::string bytes = ReadAll(kRunDirectory / "devDown.wav");
    EXPECT_EQ(bytes, ReadAll(kSourceDirectory / "devDown.wav")); // the build copied the current one
    const auto wave = ParseWave(bytes);
    ASSERT_TRUE(wave.has_value());
    EXPECT_EQ(wave->format, 1); // PCM
    EXPECT_EQ(wave->bits, 16);
    EXPECT_TRUE(wave->channels == 1 || wave->channels == 2);
    EXPECT_TRUE(wave->sampleRate == 22050 || wave->sampleRate == 44100);
    ASSERT_EQ(wave->blockAlign, wave->channels * 2);
    EXPECT_EQ(wave->byteRate, wave->sampleRate * wave->blockAlign);
    ASSERT_EQ(wave->data.size() % wave->blockAlign, 0u);

    const double seconds = static_cast<double>(wave->data.size()) / wave->byteRate;
    EXPECT_GE(seconds, 0.8);
    EXPECT_LE(seconds, 1.5);

    const std::size_t count = wave->data.size() / 2;
    ASSERT_GT(count, 0u);
    auto sample = [&](std::size_t i) { return static_cast<std::int16_t>(Little(wave->data, 2 * i, 2)); };
    int peak = 0;
    std::size_t loud = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        const int magnitude = std::abs(static_cast<int>(sample(i)));
        peak = std::max(peak, magnitude);
        loud += magnitude > 4000 ? 1 : 0;
    }
    EXPECT_GT(peak, 10000); // heard across a room
    EXPECT_LT(peak, 32767); // without clipping
    EXPECT_GT(loud, count / 5); // sounding for much of its length, not one blip
    // It starts and ends at rest, so playing it does not click.
    EXPECT_LT(std::abs(static_cast<int>(sample(0))), 100);
    EXPECT_LT(std::abs(static_cast<int>(sample(count - 1))), 100);
}

TEST(PoolTemplate, CompletesAPoolFileIntoOneJsonObject)
{
    const std::string text = ReadAll(kRunDirectory / "cgminer.conf.xtc");
    EXPECT_EQ(text, ReadAll(kSourceDirectory / "cgminer.conf.xtc"));
    ASSERT_FALSE(text.empty());
    EXPECT_LT(text.size(), 1024u); // the program reads no more than 1 KiB of it
    // Pool files are written in the code page: ASCII reads the same in both.
    for (const char c : text)
    {
        EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
    }

    // What the program writes: the pools member, a comma and newline, the template.
    const std::string file = R"({"pools":[{"url":"stratum+tcp://192.168.1.10:3333","user":"farm.001","pass":"x"}])"
                             ",\n"
        + text;
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    ASSERT_TRUE(reader->parse(file.data(), file.data() + file.size(), &root, &errors)) << errors;
    ASSERT_TRUE(root.isObject());
    EXPECT_EQ(root["pools"].size(), 1u);
    // The tool talks to the mining software on this port.
    EXPECT_EQ(root["api-listen"], Json::Value(true));
    EXPECT_EQ(root["api-port"], Json::Value("4029"));
    EXPECT_GT(root.getMemberNames().size(), 5u);
}

} // namespace
} // namespace quellis::resources

namespace quellis::resources
{
namespace
{

TEST(BusyAnimation, IsA30FrameGifOfTheDesignedTimingThatEveryPieceDecodes)
{
    QFile file(QString::fromStdString(ResourcePath(ResourceKind::Gif, kGifBusyAnimation, 0)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size()));
    ASSERT_EQ(data.left(6), QByteArray("GIF89a"));

    auto walker = controls::GifWalker::Open(bytes);
    ASSERT_TRUE(walker);
    EXPECT_EQ(walker->Screen().width, 150);
    EXPECT_EQ(walker->Screen().height, 100);
    EXPECT_EQ(walker->Screen().colourTableSize, 256u * 3);
    ASSERT_EQ(walker->CountFrames(), 30);
    for (int i = 0; i < 30; ++i)
    {
        const auto frame = walker->CutNextFrame();
        ASSERT_TRUE(frame) << i;
        EXPECT_EQ(frame->delay, i == 0 ? 2 : 7) << i;
        EXPECT_EQ(frame->disposal, 1) << i;
        // Each stand-alone piece decodes on its own, as the picture control needs.
        QByteArray piece(
            reinterpret_cast<const char*>(frame->bytes.data()), static_cast<qsizetype>(frame->bytes.size()));
        QBuffer buffer(&piece);
        QImageReader reader(&buffer, "gif");
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << i << ": " << reader.errorString().toStdString();
        EXPECT_EQ(image.size(), QSize(150, 100));
    }
    EXPECT_FALSE(walker->CutNextFrame());
}

} // namespace
} // namespace quellis::resources
