#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace skrib::service {

/// The entries of a vocabulary string as the program stores it ("alpha, beta"): split on ",",
/// trimmed of spaces and tabs, empty pieces and repeats dropped, order kept.
std::vector<std::string> parseVocabulary(std::string_view vocab);

/// Levenshtein distance between `a` and `b`, or `limit + 1` as soon as it is known to exceed
/// `limit`.
std::size_t editDistance(std::string_view a, std::string_view b, std::size_t limit);

/// Rewrites the words of `text` that a vocabulary entry names in the entry's spelling.
///
/// Words are compared by a key that ignores case and every ASCII character other than letters
/// and digits. One recognised word matches an entry of one word when the keys differ by at most
/// 0 edits (keys of up to 4 characters), 1 edit (5 to 7) or 2 edits (8 and more). Up to three
/// adjacent words with no punctuation between them match an entry written as that many words
/// with the same tolerance, and any other entry only exactly ("pocket sphinx" becomes
/// "PocketSphinx"). Punctuation around the matched words is kept.
class Vocabulary {
public:
    explicit Vocabulary(const std::vector<std::string>& entries);

    std::string apply(std::string_view text) const;

    bool empty() const { return entries_.empty(); }

private:
    struct Entry {
        std::string spelling;
        std::string key;
        std::size_t wordCount;
        std::size_t tolerance;
    };
    std::vector<Entry> entries_;
};

} // namespace skrib::service
