#include "engine/candidate_assessment.h"

#include "docserver/formats.h"
#include "platform/codepage.h"

#include <hunspell/hunspell.hxx>
#include <iconv.h>
#include <locale.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace qm::assess {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxDictionaries = 16;
constexpr std::size_t kMaxSpacedWord = 30;  // letters of a word in a script written with spaces
constexpr std::size_t kJudgedPrefix = 64;   // code points of a long word that are judged
constexpr double kNoiseCost = 0.5;
constexpr double kPictureWords = 20;

// Unicode classes through the C.UTF-8 locale (present on every glibc system).
locale_t utf8Locale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

bool isLetter(char32_t c) {
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const locale_t loc = utf8Locale();
    return loc && iswalpha_l(static_cast<wint_t>(c), loc);
}
bool isWordChar(char32_t c) {
    if (c < 0x80)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const locale_t loc = utf8Locale();
    return loc && iswalnum_l(static_cast<wint_t>(c), loc);
}
bool isUpper(char32_t c) {
    const locale_t loc = utf8Locale();
    return loc ? iswupper_l(static_cast<wint_t>(c), loc) : (c >= 'A' && c <= 'Z');
}
bool isLower(char32_t c) {
    const locale_t loc = utf8Locale();
    return loc ? iswlower_l(static_cast<wint_t>(c), loc) : (c >= 'a' && c <= 'z');
}

// Coarse scripts: the ones the form test knows, else the 128-code-point block of the letter.
enum Script : unsigned { Latin = 1, Greek, Cyrillic, Hangul, Han, Thai, Lao, Khmer, Myanmar, Block = 0x1000 };

unsigned scriptOf(char32_t c) {
    if (c < 0x250 || (c >= 0x1E00 && c <= 0x1EFF))
        return Latin;
    if ((c >= 0x370 && c <= 0x3FF) || (c >= 0x1F00 && c <= 0x1FFF))
        return Greek;
    if (c >= 0x400 && c <= 0x52F)
        return Cyrillic;
    if ((c >= 0x1100 && c <= 0x11FF) || (c >= 0x3130 && c <= 0x318F) || (c >= 0xAC00 && c <= 0xD7AF))
        return Hangul;
    // Han with the Japanese syllabaries: they are written together.
    if ((c >= 0x3040 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
        (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x20000 && c <= 0x3FFFF))
        return Han;
    if (c >= 0xE00 && c <= 0xE7F)
        return Thai;
    if (c >= 0xE80 && c <= 0xEFF)
        return Lao;
    if (c >= 0x1780 && c <= 0x17FF)
        return Khmer;
    if (c >= 0x1000 && c <= 0x109F)
        return Myanmar;
    return Block + (c >> 7);
}

// Scripts written without spaces between words: their runs are phrases, of any length.
bool unspaced(unsigned script) { return script == Han || script == Thai || script == Lao || script == Khmer || script == Myanmar; }

bool isVowel(unsigned script, char32_t c) {
    static const std::u32string latin = U"aeiouyAEIOUY";
    static const std::u32string greek = U"αεηιουωάέήίόύώϊϋΐΰΑΕΗΙΟΥΩΆΈΉΊΌΎΏ";
    static const std::u32string cyrillic = U"аеёиоуыэюяіїєўАЕЁИОУЫЭЮЯІЇЄЎ";
    switch (script) {
    case Latin:
        // Accented letters are nearly all vowels; the few common consonants are left out.
        return latin.find(c) != std::u32string::npos ||
               (c >= 0xC0 && std::u32string_view(U"çÇñÑßðÐþÞ").find(c) == std::u32string_view::npos);
    case Greek: return greek.find(c) != std::u32string::npos;
    case Cyrillic: return cyrillic.find(c) != std::u32string::npos;
    default: return true;
    }
}

// Whether the letters have the form of a word (see the header).
bool hasWordForm(const std::u32string& w) {
    if (w.size() < 2)
        return false;
    const unsigned script = scriptOf(w[0]);
    for (char32_t c : w)
        if (!isLetter(c) || scriptOf(c) != script)
            return false;
    if (script == Han) {
        // The rare characters of the extension blocks are what stray 16-bit values give.
        if (std::any_of(w.begin(), w.end(), [](char32_t c) { return (c >= 0x3400 && c <= 0x4DBF) || c >= 0x20000; }))
            return false;
        // 8-bit text (or bytes between zeros) read as 16-bit: the high byte of every code point
        // printable ASCII, the low byte too or zero.
        const bool asciiPairs = std::all_of(w.begin(), w.end(), [](char32_t c) {
            const char32_t low = c & 0xFF, high = c >> 8;
            return high >= 0x20 && high < 0x7F && (low == 0 || (low >= 0x20 && low < 0x7F));
        });
        return !asciiPairs;
    }
    if (unspaced(script))
        return true;
    if (w.size() > kMaxSpacedWord)
        return false;
    for (std::size_t i = 2; i < w.size(); ++i)
        if (w[i] == w[i - 1] && w[i] == w[i - 2])
            return false;
    const bool cased = std::any_of(w.begin(), w.end(), [](char32_t c) { return isUpper(c) || isLower(c); });
    if (cased) {
        const bool allLower = std::all_of(w.begin(), w.end(), isLower);
        const bool allUpper = std::all_of(w.begin(), w.end(), isUpper);
        const bool capital = isUpper(w[0]) && std::all_of(w.begin() + 1, w.end(), isLower);
        if (!allLower && !allUpper && !capital)
            return false;
    }
    if (script == Latin || script == Greek || script == Cyrillic) {
        if (std::none_of(w.begin(), w.end(), [&](char32_t c) { return isVowel(script, c); }))
            return false;
    }
    if (script == Latin) {
        // Accented letters are the minority of a word; bytes of any value read in a code page
        // give mostly those.
        const auto accented = std::count_if(w.begin(), w.end(), [](char32_t c) { return c >= 0x80; });
        if (3 * static_cast<std::size_t>(accented) > 2 * w.size())
            return false;
        std::size_t run = 0;
        for (char32_t c : w) {
            run = isVowel(script, c) ? 0 : run + 1;
            if (run > 6)
                return false;
        }
    }
    return true;
}

// Reads the SET and TRY lines of an affix file: the dictionary's encoding and its letters.
std::pair<std::string, std::string> affixEncodingAndLetters(const fs::path& aff) {
    std::ifstream in(aff, std::ios::binary);
    std::string line, encoding = "ISO8859-1", letters;
    for (int n = 0; n < 2000 && std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("SET ", 0) == 0)
            encoding = line.substr(4);
        else if (line.rfind("TRY ", 0) == 0)
            letters = line.substr(4);
    }
    while (!encoding.empty() && encoding.back() == ' ')
        encoding.pop_back();
    return {encoding, letters};
}

// UTF-8 to another encoding through iconv; false when a character has no form there.
bool convert(iconv_t cd, std::string_view in, std::string& out) {
    out.assign(in.size() * 4 + 8, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (::iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1))
        return false;
    out.resize(out.size() - dstLeft);
    return true;
}

} // namespace

struct Lexicon::Dictionaries {
    struct One {
        std::unique_ptr<Hunspell> speller;
        iconv_t toDictionary = reinterpret_cast<iconv_t>(-1); // unused for UTF-8 dictionaries
        std::set<unsigned> scripts;
    };
    std::vector<One> list;
    std::set<unsigned> covered;
    ~Dictionaries() {
        for (auto& d : list)
            if (d.toDictionary != reinterpret_cast<iconv_t>(-1))
                ::iconv_close(d.toDictionary);
    }
};

Lexicon::Lexicon(const std::vector<fs::path>& folders) : dictionaries_(new Dictionaries) {
    std::vector<fs::path> found;
    std::set<fs::path> seen; // a dictionary linked under several names is read once
    for (const auto& folder : folders) {
        std::error_code ec;
        std::vector<fs::path> here;
        for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            if (it->path().extension() == ".dic")
                here.push_back(it->path());
        std::sort(here.begin(), here.end());
        for (const auto& dic : here) {
            fs::path aff = dic;
            aff.replace_extension(".aff");
            const fs::path real = fs::weakly_canonical(dic, ec);
            if (!fs::is_regular_file(dic, ec) || !fs::is_regular_file(aff, ec) || !seen.insert(real).second)
                continue;
            found.push_back(dic);
        }
    }
    for (const auto& dic : found) {
        if (dictionaries_->list.size() >= kMaxDictionaries)
            break;
        fs::path aff = dic;
        aff.replace_extension(".aff");
        const auto [encoding, letters] = affixEncodingAndLetters(aff);
        Dictionaries::One one;
        const bool utf8 = encoding == "UTF-8" || encoding == "utf-8";
        if (!utf8) {
            one.toDictionary = ::iconv_open((encoding + "//IGNORE").c_str(), "UTF-8");
            if (one.toDictionary == reinterpret_cast<iconv_t>(-1))
                continue; // an encoding iconv does not know
        }
        std::string lettersUtf8 = letters;
        if (!utf8) {
            const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(letters.data()), letters.size());
            lettersUtf8 = codepage::toUtf8(bytes, encoding);
        }
        for (std::size_t i = 0; i < lettersUtf8.size();) {
            const char32_t c = codepage::nextCodePoint(lettersUtf8, i);
            if (isLetter(c))
                one.scripts.insert(scriptOf(c));
        }
        if (one.scripts.empty())
            one.scripts.insert(Latin);
        one.speller = std::make_unique<Hunspell>(aff.c_str(), dic.c_str());
        dictionaries_->covered.insert(one.scripts.begin(), one.scripts.end());
        dictionaries_->list.push_back(std::move(one));
    }
}

Lexicon::~Lexicon() { delete dictionaries_; }

std::size_t Lexicon::dictionaryCount() const { return dictionaries_->list.size(); }

const Lexicon& Lexicon::installed() {
    static const Lexicon lexicon([] {
        std::vector<fs::path> folders;
        const char* set = std::getenv("QUILLMEND_DICTIONARIES");
        if (!set)
            return std::vector<fs::path>{"/usr/share/hunspell"};
        std::string_view rest(set);
        while (!rest.empty()) {
            const auto colon = rest.find(':');
            if (colon != 0)
                folders.emplace_back(std::string(rest.substr(0, colon)));
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
        return folders;
    }());
    return lexicon;
}

double Lexicon::judge(std::string_view word) const {
    std::u32string letters;
    for (std::size_t i = 0; i < word.size() && letters.size() < kJudgedPrefix;)
        letters.push_back(codepage::nextCodePoint(word, i));
    const bool form = hasWordForm(letters);
    const unsigned script = letters.empty() ? 0 : scriptOf(letters[0]);
    if (!dictionaries_->covered.count(script))
        return form ? 1.0 : 0.0;
    if (word.size() > 4 * kMaxSpacedWord) // no dictionary word is that long
        return form ? 0.5 : 0.0;
    std::string converted;
    for (auto& d : dictionaries_->list) {
        if (!d.scripts.count(script))
            continue;
        if (d.toDictionary == reinterpret_cast<iconv_t>(-1)) {
            if (d.speller->spell(std::string(word)))
                return 1.0;
        } else if (convert(d.toDictionary, word, converted) && !converted.empty() && d.speller->spell(converted)) {
            return 1.0;
        }
    }
    return form ? 0.5 : 0.0;
}

namespace {

// Calls visit(word) for every word of the text (see the header).
template <typename Visit> void forEachWord(std::string_view text, Visit visit) {
    std::size_t start = 0, length = 0;
    bool letter = false;
    auto finish = [&](std::size_t end) {
        if (length >= 2 && letter)
            visit(text.substr(start, end - start));
        length = 0;
        letter = false;
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        const char32_t c = codepage::nextCodePoint(text, i);
        if (isWordChar(c)) {
            if (length == 0)
                start = at;
            ++length;
            letter = letter || isLetter(c);
        } else {
            finish(at);
        }
    }
    finish(text.size());
}

constexpr std::size_t kShingleWords = 8;

// The hashes of the last kShingleWords words, and the hash of that run of words.
class Shingles {
public:
    void add(std::string_view word) {
        std::uint64_t h = 14695981039346656037ull; // FNV-1a
        for (const char c : word)
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        last_[count_++ % kShingleWords] = h;
    }
    bool full() const { return count_ >= kShingleWords; }
    std::uint64_t hash() const {
        std::uint64_t h = 0;
        for (std::size_t k = 0; k < kShingleWords; ++k) {
            const std::uint64_t w = last_[(count_ + k) % kShingleWords]; // oldest first
            h = (h ^ w) * 0x9E3779B97F4A7C15ull + k;
        }
        return h;
    }

private:
    std::uint64_t last_[kShingleWords] = {};
    std::uint64_t count_ = 0;
};

} // namespace

void rescore(Assessment& a) {
    const double q = a.sampled ? a.language / a.sampled : 0.0;
    const double words = static_cast<double>(a.words) * a.unique;
    const double language = words * q;
    a.score = language - kNoiseCost * (words - language) + kPictureWords * static_cast<double>(a.pictures);
}

namespace {

// The assessment over a text given in pieces (paragraphs): forEachPiece(visit) calls
// visit(piece) for every piece in order, once per pass.
template <typename Pieces> Assessment assessPieces(const Pieces& forEachPiece, std::uint64_t pictures, const Lexicon& lexicon) {
    const auto forEachWordOf = [&](auto visit) {
        forEachPiece([&](std::string_view piece) { forEachWord(piece, visit); });
    };
    Assessment a;
    a.pictures = pictures;
    forEachWordOf([&](std::string_view) { ++a.words; });
    // Every stride-th word is judged: at most kSampleWords, spread over the whole text. The run
    // of words that ends at a judged word is remembered, to be counted over the whole text.
    const std::uint64_t stride = std::max<std::uint64_t>(1, (a.words + kSampleWords - 1) / kSampleWords);
    std::uint64_t k = 0;
    std::map<std::uint64_t, std::uint32_t> occurrences;
    std::vector<std::uint64_t> sampledRuns;
    Shingles runs;
    forEachWordOf([&](std::string_view word) {
        runs.add(word);
        if (k++ % stride == 0 && a.sampled < kSampleWords) {
            ++a.sampled;
            a.language += lexicon.judge(word);
            if (runs.full()) {
                occurrences.emplace(runs.hash(), 0);
                sampledRuns.push_back(runs.hash());
            }
        }
    });
    // Text repeated in one candidate (the same passage found twice) is counted once: each
    // judged run that occurs c times stands for 1/c of a word.
    if (!sampledRuns.empty()) {
        Shingles all;
        forEachWordOf([&](std::string_view word) {
            all.add(word);
            if (all.full())
                if (const auto it = occurrences.find(all.hash()); it != occurrences.end())
                    ++it->second;
        });
        double share = 0;
        for (const std::uint64_t run : sampledRuns)
            share += 1.0 / std::max<std::uint32_t>(1, occurrences[run]);
        a.unique = share / static_cast<double>(sampledRuns.size());
    }
    rescore(a);
    return a;
}

} // namespace

Assessment assessText(std::string_view utf8, std::uint64_t pictures, const Lexicon& lexicon) {
    return assessPieces([&](auto visit) { visit(utf8); }, pictures, lexicon);
}

namespace {

// The last document read back by the content check, and its assessment without extra pictures.
struct ReadBack {
    bool on = false;
    fs::path path;
    std::uintmax_t size = 0;
    fs::file_time_type written{};
    Assessment assessment;
};
std::mutex readBackMutex;
ReadBack lastReadBack;

Assessment assessRead(const docserver::Document& doc, std::uint64_t extraPictures, const Lexicon& lexicon) {
    // Paragraph by paragraph (a long one in pieces): the document's text is never held whole.
    const auto paragraphs = [&](auto visit) {
        doc.forEachPiece([&](const docserver::Paragraph& piece, bool) { visit(piece.text()); });
    };
    return assessPieces(paragraphs, doc.pictureCount() + extraPictures, lexicon);
}

bool stamp(const fs::path& p, std::uintmax_t& size, fs::file_time_type& written) {
    std::error_code ec, ec2;
    size = fs::file_size(p, ec);
    written = fs::last_write_time(p, ec2);
    return !ec && !ec2;
}

} // namespace

void rememberReadBacks(bool on) {
    std::lock_guard lock(readBackMutex);
    lastReadBack = ReadBack{};
    lastReadBack.on = on;
}

void noteReadBack(const fs::path& document, const docserver::Document& doc) {
    {
        std::lock_guard lock(readBackMutex);
        if (!lastReadBack.on)
            return;
    }
    ReadBack r;
    r.on = true;
    if (!stamp(document, r.size, r.written))
        return;
    r.path = document;
    r.assessment = assessRead(doc, 0, Lexicon::installed());
    std::lock_guard lock(readBackMutex);
    lastReadBack = std::move(r);
}

Assessment assessDocument(const fs::path& document, std::uint64_t extraPictures, const Lexicon& lexicon) {
    {
        std::lock_guard lock(readBackMutex);
        std::uintmax_t size = 0;
        fs::file_time_type written{};
        if (lastReadBack.on && &lexicon == &Lexicon::installed() && lastReadBack.path == document &&
            stamp(document, size, written) && size == lastReadBack.size && written == lastReadBack.written) {
            Assessment a = lastReadBack.assessment;
            a.pictures += extraPictures;
            rescore(a);
            return a;
        }
    }
    try {
        return assessRead(docserver::readDocument(document), extraPictures, lexicon);
    } catch (...) {
        Assessment a;
        a.readable = false;
        a.pictures = extraPictures;
        rescore(a);
        return a;
    }
}

int recommend(std::span<const Assessment> candidates) {
    int best = -1;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (best < 0)
            best = static_cast<int>(i);
        const Assessment& a = candidates[i];
        const Assessment& b = candidates[static_cast<std::size_t>(best)];
        if (a.score > b.score || (a.score == b.score && a.candidate < b.candidate))
            best = static_cast<int>(i);
    }
    return best;
}

} // namespace qm::assess
