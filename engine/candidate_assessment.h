// How much a written candidate recovered and how much of its text reads as language, and which
// of a file's candidates to recommend.
//
// Words are the runs of Unicode letters, digits and '_' of at least two characters that hold a
// letter (numbers alone are left out: binary noise is full of them). Every word is counted; a
// bounded sample of them, spread evenly over the text, is judged:
//   - a word of a script that an installed hunspell dictionary covers scores 1 when a
//     dictionary knows it, 1/2 when it only has the form of a word (below), else 0;
//   - a word of a script no dictionary covers scores 1 when it has the form of a word, else 0.
// The form of a word: letters of one script only; for scripts written with spaces at most 30
// of them, no letter three times in a row, and in cased scripts lower case, upper case or one
// capital first; Latin, Greek and Cyrillic words hold a vowel, and Latin ones no run of more
// than six consonants and no more than two thirds accented letters. A run of Han characters is
// no language when it holds a character of the rare extension blocks, or when every code point
// is a printable ASCII byte and another or zero (8-bit text read as 16-bit).
// Text a candidate holds more than once (a passage found twice) counts once: for each judged
// word, the run of eight words that ends there is counted over the whole text, and u is the
// mean of 1 / its count. With the sample's mean q, the language words are L = words * u * q
// and the rest N = words * u - L;
//   score = L - N / 2 + 20 * pictures
// so more text of the same quality scores higher, noise costs half of what language earns (text
// with some noise mixed in still beats a fragment of clean text, noise alone scores below zero),
// and a picture counts as a short paragraph. The recommended candidate has the highest score; between equal scores the
// lowest candidate number wins.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::docserver {
class Document;
}

namespace qm::assess {

struct Assessment {
    int candidate = 0;          // candidate number (0: a Quick Repair copy)
    std::uint64_t words = 0;    // every word of the text
    std::uint64_t pictures = 0; // inline pictures and picture files saved with it
    std::uint32_t sampled = 0;  // words judged
    double language = 0;        // their summed scores (0..sampled)
    double unique = 1;          // share of the words that are not a repeat of other text
    double score = 0;
    bool readable = true; // false: the document could not be read back (scores 0)
};

// Judges single words. The installed dictionaries are read once, when first needed.
class Lexicon {
public:
    // The dictionaries (*.dic beside *.aff) in the folders of $QUILLMEND_DICTIONARIES (separated
    // by ':'; empty: none), else in /usr/share/hunspell; at most 16, in name order.
    static const Lexicon& installed();
    // Dictionaries from the given folders only (none: the dictionary-free judgement alone).
    explicit Lexicon(const std::vector<std::filesystem::path>& folders);
    ~Lexicon();
    Lexicon(const Lexicon&) = delete;
    Lexicon& operator=(const Lexicon&) = delete;

    // 0, 0.5 or 1 as described above; word is UTF-8.
    double judge(std::string_view word) const;
    std::size_t dictionaryCount() const;

private:
    struct Dictionaries;
    Dictionaries* dictionaries_;
};

inline constexpr std::uint32_t kSampleWords = 1000;

// Assesses UTF-8 text with its picture count.
Assessment assessText(std::string_view utf8, std::uint64_t pictures, const Lexicon& lexicon = Lexicon::installed());
// Reads a written candidate document (any format the document server reads); extraPictures are
// picture files saved beside it. An unreadable document gives readable = false and only the
// extra pictures.
Assessment assessDocument(const std::filesystem::path& document, std::uint64_t extraPictures = 0,
                          const Lexicon& lexicon = Lexicon::installed());
// The content check of the save side reads every written .doc output back whole. With
// remembering on (the command line turns it on), noteReadBack assesses the document it read, and
// assessDocument takes that assessment while the file is unchanged instead of reading it again.
void rememberReadBacks(bool on);
void noteReadBack(const std::filesystem::path& document, const docserver::Document& doc);

// Recomputes score from the counts (after counts were added up or read back).
void rescore(Assessment& a);

// Index of the recommended assessment, -1 when there is none.
int recommend(std::span<const Assessment> candidates);

} // namespace qm::assess
