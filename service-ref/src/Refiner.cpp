#include "Refiner.h"

#include "Text.h"

#include <vector>

namespace skrib::service {
namespace {

bool isSentenceEnd(char c) {
    return c == '.' || c == '!' || c == '?';
}

bool isLowerAscii(char c) {
    return c >= 'a' && c <= 'z';
}

char upper(char c) {
    return isLowerAscii(c) ? static_cast<char>(c - 'a' + 'A') : c;
}

// "i", "i'm", "i'd", "i'll", "i've", also with trailing punctuation ("i," "i'm.").
bool isFirstPersonPronoun(std::string_view word) {
    const std::string_view core = trim(word, ",.;:!?\"')");
    if (core == "i") {
        return true;
    }
    static constexpr std::string_view contractions[] = {"i'm", "i'd", "i'll", "i've"};
    for (auto contraction : contractions) {
        if (core == contraction) {
            return true;
        }
    }
    return false;
}

// The last byte of the word that is not a closing quote or bracket.
char lastSignificant(std::string_view word) {
    const auto pos = word.find_last_not_of("\"')]");
    return pos == std::string_view::npos ? '\0' : word[pos];
}

std::string professional(std::string_view tidy) {
    std::vector<std::string> words = splitWords(tidy);
    if (words.empty()) {
        return {};
    }
    bool sentenceStart = true;
    for (auto& word : words) {
        if (isFirstPersonPronoun(word)) {
            const auto pos = word.find('i');
            word[pos] = 'I';
        }
        if (sentenceStart) {
            const auto letter = word.find_first_not_of("\"'([");
            if (letter != std::string::npos) {
                word[letter] = upper(word[letter]);
            }
        }
        sentenceStart = isSentenceEnd(lastSignificant(word));
    }
    std::string& last = words.back();
    const char end = lastSignificant(last);
    if (!isSentenceEnd(end)) {
        const auto pos = last.find_last_not_of("\"')]");
        if (end == ',' || end == ';' || end == ':') {
            last[pos] = '.';
        } else {
            const std::size_t at = pos == std::string::npos ? last.size() : pos + 1;
            last = last.substr(0, at) + '.' + last.substr(at);
        }
    }
    return joinWords(words);
}

std::string casual(std::string_view tidy) {
    std::string text = lowerAscii(tidy);
    const bool ellipsis = text.size() >= 2 && text.ends_with("..");
    if (text.ends_with('.') && !ellipsis) {
        text.pop_back();
    }
    return text;
}

} // namespace

std::optional<StylePreset> parseStylePreset(std::string_view id) {
    if (id == "professional") {
        return StylePreset::professional;
    }
    if (id == "casual") {
        return StylePreset::casual;
    }
    if (id == "minimal") {
        return StylePreset::minimal;
    }
    if (id == "custom") {
        return StylePreset::custom;
    }
    return std::nullopt;
}

std::string_view stylePresetId(StylePreset preset) {
    switch (preset) {
    case StylePreset::professional:
        return "professional";
    case StylePreset::casual:
        return "casual";
    case StylePreset::minimal:
        return "minimal";
    case StylePreset::custom:
        return "custom";
    }
    return "professional";
}

std::string refine(std::string_view text, StylePreset preset) {
    const std::string tidy = tidyWhitespace(text);
    switch (preset) {
    case StylePreset::professional:
        return professional(tidy);
    case StylePreset::casual:
        return casual(tidy);
    case StylePreset::minimal:
    case StylePreset::custom:
        break;
    }
    return tidy;
}

} // namespace skrib::service
