#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

/// Identifies an input device for as long as the audio server keeps it. 0 means no device.
using AudioDeviceID = std::uint32_t;
inline constexpr AudioDeviceID noAudioDevice = 0;

enum class SampleType { float32, int16, int32, other };

/// The shape of a stream of samples.
struct AudioFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    SampleType sampleType = SampleType::float32;
    bool interleaved = true; // false: one plane per channel
};

/// One buffer delivered by a capture tap.
struct AudioTapBuffer {
    AudioFormat format;
    std::uint32_t frameLength = 0;
    /// The samples: one pointer when interleaved, else one per channel. Empty when the buffer
    /// carries no channel data.
    std::vector<const void*> channelData;
};

/// A capture pipeline bound to one input device: the platform's "audio engine".
/// All operations run on the main thread, except the tap callback (the capture thread) and
/// the configuration-change handler (any thread).
class AudioEngine {
public:
    using TapCallback = std::function<void(const AudioTapBuffer&)>;

    virtual ~AudioEngine() = default;

    /// Binds the engine's input to `device` (noAudioDevice: the system default) for the next
    /// start. Answers 0 on success, else a status code for the log.
    virtual int setInputDevice(AudioDeviceID device) = 0;

    /// Starts the engine; answers the error text when it cannot start.
    virtual std::optional<std::string> start() = 0;

    /// Stops the engine (removing any tap). Harmless when not started.
    virtual void stop() = 0;

    /// The format the input delivers; meaningful after a successful start. A sample rate or
    /// channel count of 0 means the input has no usable format.
    virtual AudioFormat inputFormat() const = 0;

    /// Installs the capture tap: `callback` receives about `frames` frames per call on the
    /// capture thread. Answers the error text when installation fails.
    virtual std::optional<std::string> installTap(std::uint32_t frames, TapCallback callback) = 0;

    /// Removes the tap. The input's samples up to the call reach the callback first, the last
    /// ones in a shorter buffer; when this returns the callback is not running and will not run
    /// again.
    virtual void removeTap() = 0;

    /// `handler` is called (on any thread) whenever the engine's configuration changes under
    /// it: its stream was moved, suspended or lost, or the input changed format. An empty
    /// handler unregisters; once this returns the previous handler is not called again.
    virtual void setConfigurationChangeHandler(std::function<void()> handler) = 0;
};

/// One device of the audio server.
struct AudioDevice {
    AudioDeviceID id = noAudioDevice;
    std::string name;
    bool hasInput = false;
    bool builtIn = false;
};

/// The machine's input devices and the default choice among them.
class AudioSystem {
public:
    using ListenerID = std::uint64_t;

    virtual ~AudioSystem() = default;

    /// The default input device, or noAudioDevice when there is none or it cannot be read.
    virtual AudioDeviceID defaultInputDevice() = 0;

    /// The device's human-readable name; none when unknown.
    virtual std::optional<std::string> deviceName(AudioDeviceID device) = 0;

    /// Every device, in the server's order; none when the list cannot be read.
    virtual std::optional<std::vector<AudioDevice>> devices() = 0;

    /// Calls `listener` (on any thread) whenever the default input device changes.
    virtual ListenerID addDefaultInputListener(std::function<void()> listener) = 0;

    /// Removes a listener; answers false when it was not registered (already removed).
    virtual bool removeDefaultInputListener(ListenerID listener) = 0;

    /// A new, unstarted engine.
    virtual std::unique_ptr<AudioEngine> createEngine() = 0;
};

/// Converts tap buffers of one input format to one output format, keeping state between
/// buffers (filter history), so consecutive buffers form one continuous stream.
class AudioConverter {
public:
    virtual ~AudioConverter() = default;

    /// Converts one buffer and answers at most `outputCapacity` frames of output (mono float
    /// for the program's target format); none on a conversion error.
    virtual std::optional<std::vector<float>> convert(const AudioTapBuffer& input,
                                                      std::uint32_t outputCapacity) = 0;
};

class AudioConverterFactory {
public:
    virtual ~AudioConverterFactory() = default;

    /// A converter between the two formats; null when they cannot be converted.
    virtual std::unique_ptr<AudioConverter> create(const AudioFormat& input,
                                                   const AudioFormat& output) = 0;
};

} // namespace skrib
