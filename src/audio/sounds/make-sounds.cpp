// Writes the program's feedback sounds into a folder: make-sounds OUTPUT_FOLDER
#include "audio/sounds/FeedbackSounds.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    for (const char* name : skrib::FeedbackSounds::names) {
        const auto wav = skrib::FeedbackSounds::encodeWAV(skrib::FeedbackSounds::synthesize(name),
                                                          skrib::FeedbackSounds::sampleRate);
        const auto path = folder / (std::string(name) + ".wav");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
