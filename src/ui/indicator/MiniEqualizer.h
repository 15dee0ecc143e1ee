#pragma once

#include "platform/Scheduler.h"

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <QColor>
#include <QWidget>

namespace skrib {

/// A row of small vertical level bars, symmetric about the centre line, that rise quickly and
/// fall slowly with the latest microphone level. Each bar has a fixed weight and a slowly
/// drifting wobble, so the row looks alive even at a steady level. While rendering it steps
/// once per screen refresh through the Scheduler (and not while hidden); when dimmed it draws
/// at a quarter of its opacity. Main thread only.
class MiniEqualizer : public QWidget {
public:
    /// Width of one bar, the space between bars, and the half-height of a silent bar.
    static constexpr double barW = 2.5;
    static constexpr double gap = 3.0;
    static constexpr double restingHeight = 1.5;

    /// A uniform random number in [low, high), or in [low, high] when `closed`.
    using RandomSource = std::function<double(double low, double high, bool closed)>;

    explicit MiniEqualizer(Scheduler& scheduler, QWidget* parent = nullptr);
    ~MiniEqualizer() override;

    /// Every bar back to rest, level 0, not dimmed, fresh random phases; weights stay.
    void reset();
    /// Remembers the level; the bars follow it from the next frame on.
    void pushLevel(float level);
    /// Starts the per-refresh frames; a second call while rendering does nothing.
    void startRendering();
    /// Stops the frames; the bars keep their heights.
    void stopRendering();
    bool isRendering() const { return rendering_; }

    bool dimmed() const { return dimmed_; }
    /// Set by the owner, which then asks for a redraw.
    void setDimmed(bool dimmed) { dimmed_ = dimmed; }

    /// One animation step: move every bar towards the height the level asks for.
    void tick();

    /// Replaces the random source of the phases (for tests).
    void setRandomSource(RandomSource source) { random_ = std::move(source); }

    /// Seconds between frames: one refresh of the widget's screen.
    double frameInterval() const;

    int barCount() const { return barCount_; }
    float currentLevel() const { return currentLevel_; }
    const std::vector<double>& barHeights() const { return barHeights_; }
    const std::vector<double>& targetHeights() const { return targetHeights_; }
    const std::vector<float>& barWeights() const { return barWeights_; }
    const std::vector<float>& barPhases() const { return barPhases_; }

    /// The colour of a bar whose height above rest is `intensity` of the half-height of the
    /// view: bright green above 0.4, darker green above 0.05, faint grey below; a quarter of
    /// the alpha when dimmed.
    static QColor barColor(double intensity, bool dimmed);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void layoutBars();
    void randomPhases();
    void startFrames();
    void stopFrames();

    Scheduler& scheduler_;
    RandomSource random_;
    std::shared_ptr<WorkItem> frames_;
    bool rendering_ = false;
    bool dimmed_ = false;
    int barCount_ = 5;
    float currentLevel_ = 0;
    std::vector<double> barHeights_;
    std::vector<double> targetHeights_;
    std::vector<float> barWeights_;
    std::vector<float> barPhases_;
};

} // namespace skrib
