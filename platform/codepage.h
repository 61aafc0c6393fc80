// Code page decoding through iconv. Bytes taken from .doc sources are decoded with the
// Windows code page of the user's documents: Windows-1252 unless $QUILLMEND_CODEPAGE names
// another iconv encoding. Everything the program writes is UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qm::codepage {

// The configured code page ("CP1252" by default).
std::string configured();

// Decodes bytes of the given code page into UTF-8. A byte sequence the code page does not
// define becomes U+FFFD; decoding never fails. An unknown code page falls back to CP1252.
std::string toUtf8(std::span<const std::uint8_t> bytes, const std::string& codePage);
inline std::string toUtf8(std::span<const std::uint8_t> bytes) { return toUtf8(bytes, configured()); }

// Decodes UTF-16LE into UTF-8; unpaired surrogates become U+FFFD.
std::string utf16leToUtf8(std::span<const std::uint8_t> bytes);
// Encodes UTF-8 as UTF-16LE (invalid UTF-8 bytes become U+FFFD).
std::string utf8ToUtf16le(const std::string& utf8);

// Decodes the well-formed UTF-8 sequence at bytes[i] and moves i past it; returns -1 and
// leaves i alone when no well-formed sequence starts there (overlong forms, surrogates and
// values above U+10FFFF are not well-formed).
long nextUtf8(std::span<const std::uint8_t> bytes, std::size_t& i);
// The next code point of UTF-8 text: a malformed byte gives U+FFFD and is skipped.
std::uint32_t nextCodePoint(std::string_view text, std::size_t& i);

// The value of the digits of a numeric character reference ("233" or, with hex, "E9"):
// nullopt when they are empty or hold a non-digit; values above U+10FFFF come back as 0x110000.
std::optional<std::uint32_t> referenceDigits(std::string_view digits, bool hex);

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(std::span<const std::uint8_t> bytes);
// Appends the UTF-8 form of a code point.
void appendUtf8(std::string& out, std::uint32_t cp);

} // namespace qm::codepage
