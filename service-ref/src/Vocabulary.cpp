#include "Vocabulary.h"

#include "Text.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace skrib::service {
namespace {

constexpr std::size_t maxWindow = 3;

bool isKeyByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || u >= 0x80;
}

std::string keyOf(std::string_view text) {
    std::string key;
    for (char c : text) {
        if (isKeyByte(c)) {
            key += c;
        }
    }
    return lowerAscii(key);
}

std::size_t toleranceFor(std::size_t keyLength) {
    if (keyLength <= 4) {
        return 0;
    }
    return keyLength <= 7 ? 1 : 2;
}

// A word split into leading punctuation, the word itself and trailing punctuation.
struct Token {
    std::string lead;
    std::string core;
    std::string trail;
    std::string key;
};

Token tokenize(const std::string& word) {
    Token token;
    std::size_t first = 0;
    while (first < word.size() && !isKeyByte(word[first])) {
        ++first;
    }
    std::size_t last = word.size();
    while (last > first && !isKeyByte(word[last - 1])) {
        --last;
    }
    token.lead = word.substr(0, first);
    token.core = word.substr(first, last - first);
    token.trail = word.substr(last);
    token.key = keyOf(token.core);
    return token;
}

} // namespace

std::vector<std::string> parseVocabulary(std::string_view vocab) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= vocab.size()) {
        auto end = vocab.find(',', start);
        if (end == std::string_view::npos) {
            end = vocab.size();
        }
        const std::string piece(trim(vocab.substr(start, end - start), " \t"));
        if (!piece.empty() && std::find(entries.begin(), entries.end(), piece) == entries.end()) {
            entries.push_back(piece);
        }
        start = end + 1;
    }
    return entries;
}

std::size_t editDistance(std::string_view a, std::string_view b, std::size_t limit) {
    const std::size_t lengthGap = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    if (lengthGap > limit) {
        return limit + 1;
    }
    std::vector<std::size_t> previous(b.size() + 1);
    std::vector<std::size_t> current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        previous[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        std::size_t rowMinimum = current[0];
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
            rowMinimum = std::min(rowMinimum, current[j]);
        }
        if (rowMinimum > limit) {
            return limit + 1;
        }
        std::swap(previous, current);
    }
    return std::min(previous[b.size()], limit + 1);
}

Vocabulary::Vocabulary(const std::vector<std::string>& entries) {
    for (const auto& spelling : entries) {
        std::string key = keyOf(spelling);
        if (key.empty()) {
            continue;
        }
        const std::size_t wordCount = splitWords(spelling).size();
        const std::size_t tolerance = toleranceFor(key.size());
        entries_.push_back({spelling, std::move(key), wordCount, tolerance});
    }
}

std::string Vocabulary::apply(std::string_view text) const {
    const std::vector<std::string> words = splitWords(text);
    if (entries_.empty() || words.empty()) {
        return joinWords(words);
    }
    std::vector<Token> tokens;
    tokens.reserve(words.size());
    for (const auto& word : words) {
        tokens.push_back(tokenize(word));
    }

    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < tokens.size()) {
        std::optional<std::size_t> bestEntry;
        std::size_t bestWindow = 0;
        std::size_t bestDistance = std::numeric_limits<std::size_t>::max();
        for (std::size_t window = std::min(maxWindow, tokens.size() - i); window >= 1 && !bestEntry;
             --window) {
            // Words only join when nothing but a space separates them.
            std::string key;
            bool joinable = true;
            for (std::size_t k = i; k < i + window; ++k) {
                if (tokens[k].key.empty() || (k > i && !tokens[k].lead.empty()) ||
                    (k + 1 < i + window && !tokens[k].trail.empty())) {
                    joinable = false;
                    break;
                }
                key += tokens[k].key;
            }
            if (!joinable) {
                continue;
            }
            for (std::size_t e = 0; e < entries_.size(); ++e) {
                const Entry& entry = entries_[e];
                const std::size_t tolerance = entry.wordCount == window ? entry.tolerance : 0;
                const std::size_t distance = editDistance(key, entry.key, tolerance);
                if (distance <= tolerance && distance < bestDistance) {
                    bestEntry = e;
                    bestWindow = window;
                    bestDistance = distance;
                }
            }
        }
        if (bestEntry) {
            out.push_back(tokens[i].lead + entries_[*bestEntry].spelling +
                          tokens[i + bestWindow - 1].trail);
            i += bestWindow;
        } else {
            out.push_back(words[i]);
            ++i;
        }
    }
    return joinWords(out);
}

} // namespace skrib::service
