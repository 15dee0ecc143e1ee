#pragma once

#include "SpeechRecognizer.h"

#include <filesystem>
#include <memory>
#include <string>

struct cmd_ln_s;
struct ps_decoder_s;

namespace skrib::service {

/// Recognition with PocketSphinx and a model folder laid out like the Debian en-us model:
/// acoustic model in "en-us/", language model "en-us.lm.bin", dictionary "cmudict-en-us.dict".
class PocketSphinxRecognizer final : public SpeechRecognizer {
public:
    /// Loads the model (about 0.3 s and 100 MB); nothing with `error` set when it cannot.
    static std::unique_ptr<PocketSphinxRecognizer> load(const std::filesystem::path& modelDir,
                                                        std::string& error);

    ~PocketSphinxRecognizer() override;
    PocketSphinxRecognizer(const PocketSphinxRecognizer&) = delete;
    PocketSphinxRecognizer& operator=(const PocketSphinxRecognizer&) = delete;

    std::optional<std::string> recognize(std::span<const std::int16_t> samples) override;

private:
    PocketSphinxRecognizer(cmd_ln_s* config, ps_decoder_s* decoder);

    cmd_ln_s* config_;
    ps_decoder_s* decoder_;
};

} // namespace skrib::service
