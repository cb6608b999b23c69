#pragma once

#include "platform/sync/event.h"
#include "platform/sync/thread.h"

#include <QColor>
#include <QImage>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <span>
#include <vector>

namespace quellis::controls
{

// A static picture that plays an animated GIF: the GIF is cut into one
// stand-alone GIF per frame (gif_frames.h), each decoded by gif_decode.h (or
// by Qt's image reader where that refuses it), and the frames are composed in
// an off-screen image on a thread of its own with their delays, positions and
// disposal methods. The paint handler copies that image. Any other image, and
// a GIF of one frame, shows as a still picture.
//
// StartAnimation and StopAnimation may be called from any thread; the thread
// has one owner, so a second start while it runs starts nothing.
class CPictureEx : public QWidget
{
    Q_OBJECT

public:
    explicit CPictureEx(QWidget* parent = nullptr);
    ~CPictureEx() override;

    // The busy animation of the program's resources (GIF 135).
    bool LoadFromResource();
    // Starts decoding the busy animation on a thread of its own, for the next
    // LoadFromResource to take: the start-up has it decoded while the windows
    // are made. UI thread.
    static void StartDecodingResource();
    bool LoadFromMemory(std::span<const std::uint8_t> data);
    void Unload();

    // Animated: starts the thread and returns false. Still: draws the picture
    // and returns true. False when nothing is loaded.
    bool StartAnimation();
    void StopAnimation();

    [[nodiscard]] bool IsAnimating() const { return animating_.load(); }
    [[nodiscard]] bool IsGif() const { return isGif_; }
    [[nodiscard]] int FrameCount() const { return static_cast<int>(frames_.size()); }
    [[nodiscard]] int CurrentFrame() const { return currentFrame_.load(); }
    [[nodiscard]] QSize PictureSize() const { return QSize(width_, height_); }
    // A copy of the composed picture, as the next paint would show it.
    [[nodiscard]] QImage Composed() const;
    // How many frames the thread has drawn since it was made (tests, benchmarks).
    [[nodiscard]] int FramesDrawn() const { return framesDrawn_.load(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Frame
    {
        QImage picture;
        int width = 0;
        int height = 0;
        int left = 0;
        int top = 0;
        int delay = -1;
        int disposal = 0;
    };

    // A picture decoded, before it is taken into the control; any thread.
    struct Decoded
    {
        bool loaded = false;
        bool isGif = false;
        int width = 0;
        int height = 0;
        QImage still;
        std::vector<Frame> frames;
    };
    [[nodiscard]] static Decoded DecodePicture(std::span<const std::uint8_t> data);
    [[nodiscard]] static Decoded DecodeResource();
    static std::future<Decoded>& DecodingResource();
    bool Take(Decoded decoded);

    bool Prepare();
    void AnimationThread();
    void ApplyDisposal(const Frame& frame);

    int width_ = 0;
    int height_ = 0;
    bool isGif_ = false;
    bool prepared_ = false;
    QColor background_ = Qt::white;
    std::vector<Frame> frames_;
    QImage still_;

    // The composed picture and the area saved under a frame of disposal 3,
    // shared by the animation thread and the paint handler.
    mutable std::mutex imageLock_;
    QImage offScreen_;
    QImage savedArea_;

    std::atomic<int> currentFrame_ { 0 };
    std::atomic<bool> animating_ { false };
    std::atomic<bool> exit_ { false };
    std::atomic<int> framesDrawn_ { 0 };
    sync::Event stop_ { sync::EventReset::Manual };
    // Start and stop from several threads: the thread object has one owner.
    std::mutex threadLock_;
    sync::Thread thread_;
};

} // namespace quellis::controls
