#include "controls/picture_ex.h"

#include "controls/gif_decode.h"
#include "controls/gif_frames.h"
#include "platform/trace/trace.h"
#include "resources/resource_ids.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QMetaObject>
#include <QPainter>

#include <cstring>

namespace quellis::controls
{

namespace
{

QImage Decode(std::span<const std::uint8_t> bytes)
{
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    return reader.read();
}

// A frame of the rectangle the frame covers. Frames of the usual kind are
// decoded here (no image plugin to load, and several times faster than the
// plugin); the rest go to Qt's reader, which gives the logical screen.
QImage DecodeFrame(std::span<const std::uint8_t> piece)
{
    const auto pixels = DecodeGifFrame(piece);
    if (!pixels)
    {
        return Decode(piece);
    }
    // Alpha is 0 or 255, so the pixels are premultiplied already.
    QImage image(pixels->width, pixels->height, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
    {
        return image;
    }
    const auto rowBytes = static_cast<std::size_t>(pixels->width) * sizeof(std::uint32_t);
    for (int y = 0; y < pixels->height; ++y)
    {
        std::memcpy(image.scanLine(y), pixels->argb.data() + static_cast<std::size_t>(y) * pixels->width, rowBytes);
    }
    return image;
}

// Delays are in hundredths of a second; below 5 a frame shows for 100 ms.
// A frame without a control block (delay -1) reads as a huge unsigned delay
// and so stays until the animation is stopped.
std::uint32_t FrameWaitMs(int delay)
{
    const auto hundredths = static_cast<std::uint32_t>(delay);
    if (hundredths < 5)
    {
        return 100;
    }
    return hundredths >= sync::kInfinite / 10 ? sync::kInfinite - 1 : hundredths * 10;
}

} // namespace

CPictureEx::CPictureEx(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CPictureEx::~CPictureEx()
{
    Unload();
}

bool CPictureEx::LoadFromResource()
{
    std::future<Decoded>& decoding = DecodingResource();
    const bool loaded = Take(decoding.valid() ? decoding.get() : DecodeResource());
    trace::StartupStep("busy picture loaded");
    return loaded;
}

void CPictureEx::StartDecodingResource()
{
    if (!DecodingResource().valid())
    {
        DecodingResource() = std::async(std::launch::async, [] { return DecodeResource(); });
    }
}

std::future<CPictureEx::Decoded>& CPictureEx::DecodingResource()
{
    // A program that ends before it loads the picture waits here for the
    // thread as the future goes.
    static std::future<Decoded> decoding;
    return decoding;
}

CPictureEx::Decoded CPictureEx::DecodeResource()
{
    QFile file(
        QString::fromStdString(resources::ResourcePath(resources::ResourceKind::Gif, resources::kGifBusyAnimation, 0)));
    if (!file.open(QIODevice::ReadOnly))
    {
        return {};
    }
    const QByteArray data = file.readAll();
    return DecodePicture(
        { reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size()) });
}

bool CPictureEx::LoadFromMemory(std::span<const std::uint8_t> data)
{
    return Take(DecodePicture(data));
}

CPictureEx::Decoded CPictureEx::DecodePicture(std::span<const std::uint8_t> data)
{
    Decoded decoded;
    auto walker = GifWalker::Open(data);
    if (!walker)
    {
        // Not a GIF: any picture Qt can read, shown still.
        decoded.still = Decode(data);
        decoded.width = decoded.still.width();
        decoded.height = decoded.still.height();
        decoded.loaded = !decoded.still.isNull();
        return decoded;
    }
    decoded.isGif = true;
    decoded.width = walker->Screen().width;
    decoded.height = walker->Screen().height;
    const int count = walker->CountFrames();
    if (count == 0)
    {
        return decoded;
    }
    if (count == 1)
    {
        decoded.still = Decode(data);
        decoded.loaded = !decoded.still.isNull();
        return decoded;
    }
    while (auto piece = walker->CutNextFrame())
    {
        // A piece the decoder refuses is left out of the animation.
        QImage picture = DecodeFrame(piece->bytes);
        if (picture.isNull())
        {
            continue;
        }
        decoded.frames.push_back(Frame {
            std::move(picture), piece->width, piece->height, piece->left, piece->top, piece->delay, piece->disposal });
    }
    decoded.loaded = !decoded.frames.empty();
    return decoded;
}

bool CPictureEx::Take(Decoded decoded)
{
    Unload();
    isGif_ = decoded.isGif;
    width_ = decoded.width;
    height_ = decoded.height;
    if (!decoded.loaded)
    {
        return false;
    }
    still_ = std::move(decoded.still);
    frames_ = std::move(decoded.frames);
    return Prepare();
}

bool CPictureEx::Prepare()
{
    resize(width_, height_);
    {
        std::lock_guard lock(imageLock_);
        offScreen_ = QImage(std::max(width_, 1), std::max(height_, 1), QImage::Format_ARGB32_Premultiplied);
        if (offScreen_.isNull())
        {
            return false;
        }
        background_ = palette().color(QPalette::Button);
        offScreen_.fill(palette().color(QPalette::Window));
    }
    prepared_ = true;
    update();
    return true;
}

void CPictureEx::Unload()
{
    StopAnimation();
    frames_.clear();
    still_ = QImage();
    {
        std::lock_guard lock(imageLock_);
        offScreen_ = QImage();
        savedArea_ = QImage();
    }
    prepared_ = false;
    isGif_ = false;
    width_ = 0;
    height_ = 0;
    currentFrame_ = 0;
    background_ = Qt::white;
}

bool CPictureEx::StartAnimation()
{
    if (!prepared_)
    {
        return false;
    }
    if (isGif_ && frames_.size() > 1)
    {
        std::lock_guard lock(threadLock_);
        if (!thread_.Joinable())
        {
            exit_ = false;
            stop_.Reset();
            if (!thread_.Start([this] { AnimationThread(); }))
            {
                return false;
            }
        }
        return false;
    }
    if (still_.isNull())
    {
        return false;
    }
    {
        std::lock_guard lock(imageLock_);
        QPainter painter(&offScreen_);
        painter.drawImage(QRect(0, 0, width_, height_), still_);
    }
    QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
    return true;
}

void CPictureEx::StopAnimation()
{
    std::lock_guard lock(threadLock_);
    animating_ = false;
    exit_ = true;
    stop_.Set();
    // The thread only waits on the stop event between frames, so it leaves at once.
    thread_.Join();
    stop_.Reset();
    exit_ = false;
}

void CPictureEx::ApplyDisposal(const Frame& frame)
{
    const QRect area(frame.left, frame.top, frame.width, frame.height);
    std::lock_guard lock(imageLock_);
    if (frame.disposal == 2)
    {
        QPainter painter(&offScreen_);
        painter.fillRect(area, background_);
    }
    else if (frame.disposal == 3 && !savedArea_.isNull())
    {
        QPainter painter(&offScreen_);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(area.topLeft(), savedArea_);
        savedArea_ = QImage();
    }
}

// Owns the frame index and composes into the off-screen image (under its
// lock); shares the image with the paint handler and the flags with Start/Stop.
void CPictureEx::AnimationThread()
{
    animating_ = true;
    ApplyDisposal(frames_[static_cast<std::size_t>(currentFrame_.load())]);
    while (!exit_)
    {
        const Frame& frame = frames_[static_cast<std::size_t>(currentFrame_.load())];
        {
            std::lock_guard lock(imageLock_);
            if (frame.disposal == 3)
            {
                savedArea_ = offScreen_.copy(frame.left, frame.top, frame.width, frame.height);
            }
            // A piece decodes to the logical screen's size with the frame at its
            // place; a decoder that gives the frame alone is read from its corner.
            const QRect target(frame.left, frame.top, frame.width, frame.height);
            const QRect source = frame.picture.size() == target.size() ? QRect(QPoint(0, 0), target.size()) : target;
            QPainter painter(&offScreen_);
            painter.drawImage(target, frame.picture, source);
        }
        ++framesDrawn_;
        // By name, not with a lambda: the queued call is then made and freed
        // inside Qt alone, and nothing of ours crosses to the UI thread
        // outside a lock (Qt's own event-queue lock is invisible to
        // ThreadSanitizer).
        QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
        if (exit_)
        {
            break;
        }
        [[maybe_unused]] const auto waited = stop_.Wait(FrameWaitMs(frame.delay));
        if (exit_)
        {
            break;
        }
        ApplyDisposal(frame);
        int next = currentFrame_.load() + 1;
        if (next >= static_cast<int>(frames_.size()))
        {
            next = 0;
            std::lock_guard lock(imageLock_);
            offScreen_.fill(background_);
        }
        currentFrame_ = next;
    }
    animating_ = false;
}

QImage CPictureEx::Composed() const
{
    std::lock_guard lock(imageLock_);
    return offScreen_.copy();
}

void CPictureEx::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    std::lock_guard lock(imageLock_);
    if (offScreen_.isNull())
    {
        painter.fillRect(rect(), palette().color(QPalette::Window));
        return;
    }
    painter.drawImage(QPoint(0, 0), offScreen_);
}

} // namespace quellis::controls
