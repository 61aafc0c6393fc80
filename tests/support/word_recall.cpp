#include "tests/support/word_recall.h"

#include "platform/codepage.h"

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <map>

namespace qm::test {
namespace {

// Unicode classification through the C.UTF-8 locale (present on every glibc system);
// without it, every non-ASCII code point counts as a letter.
locale_t utf8Locale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

bool isWordChar(char32_t c) {
    if (c < 0x80)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (const locale_t loc = utf8Locale())
        return iswalnum_l(static_cast<wint_t>(c), loc);
    return true;
}

char32_t lower(char32_t c) {
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (const locale_t loc = utf8Locale())
        return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), loc));
    return c;
}

// Next code point of UTF-8 text; malformed bytes give U+FFFD (not a word character).
char32_t next(const std::string& s, std::size_t& i) { return codepage::nextCodePoint(s, i); }

std::size_t overlap(const std::string& text, const std::string& reference) {
    std::map<std::string, std::size_t> have;
    for (auto& w : wordTokens(text))
        ++have[w];
    std::size_t matched = 0;
    for (auto& w : wordTokens(reference)) {
        auto it = have.find(w);
        if (it != have.end() && it->second > 0) {
            --it->second;
            ++matched;
        }
    }
    return matched;
}

} // namespace

std::vector<std::string> wordTokens(const std::string& utf8) {
    std::vector<std::string> words;
    std::string current;
    std::size_t length = 0;
    auto finish = [&] {
        if (length >= 2)
            words.push_back(current);
        current.clear();
        length = 0;
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t c = next(utf8, i);
        if (isWordChar(c)) {
            codepage::appendUtf8(current, lower(c));
            ++length;
        } else {
            finish();
        }
    }
    finish();
    return words;
}

double wordRecall(const std::string& text, const std::string& reference) {
    const std::size_t total = wordTokens(reference).size();
    return total ? double(overlap(text, reference)) / double(total) : 1.0;
}

void RecallTally::add(const std::string& text, const std::string& reference) {
    matched += overlap(text, reference);
    total += wordTokens(reference).size();
}

} // namespace qm::test
