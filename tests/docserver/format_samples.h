// Sample documents and tiny but valid pictures for the format tests.
#pragma once

#include "docserver/document.h"

#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qm::test {

inline void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline void appendPngChunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    appendBe32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    appendBe32(out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// An 8-bit RGB PNG of the given size, filled with one colour.
inline std::vector<std::uint8_t> tinyPng(int width, int height, std::uint8_t red = 200) {
    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::uint8_t> ihdr;
    appendBe32(ihdr, static_cast<std::uint32_t>(width));
    appendBe32(ihdr, static_cast<std::uint32_t>(height));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    appendPngChunk(png, "IHDR", ihdr);
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0); // filter type none
        for (int x = 0; x < width; ++x)
            raw.insert(raw.end(), {red, 40, 40});
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> idat(size);
    compress2(idat.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9);
    idat.resize(size);
    appendPngChunk(png, "IDAT", idat);
    appendPngChunk(png, "IEND", {});
    return png;
}

// A baseline greyscale JPEG, mid-grey (128), of a size in multiples of 8: quantisation table
// of ones, one-code Huffman tables, and per 8 x 8 block a DC difference of 0 ("0") followed
// by end-of-block ("0").
inline std::vector<std::uint8_t> tinyJpeg(int width = 16, int height = 8) {
    std::vector<std::uint8_t> j = {0xFF, 0xD8,                                      // SOI
                                   0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, // APP0 JFIF
                                   0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,
                                   0xFF, 0xDB, 0x00, 0x43, 0x00};                    // DQT
    j.insert(j.end(), 64, 0x01);
    const auto w = static_cast<std::uint8_t>(width), wh = static_cast<std::uint8_t>(width >> 8);
    const auto h = static_cast<std::uint8_t>(height), hh = static_cast<std::uint8_t>(height >> 8);
    const std::vector<std::uint8_t> tables = {
        0xFF, 0xC0, 0x00, 0x0B, 0x08, hh, h, wh, w, 0x01, 0x01, 0x11, 0x00,                       // SOF0
        0xFF, 0xC4, 0x00, 0x14, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, // DHT DC
        0xFF, 0xC4, 0x00, 0x14, 0x10, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, // DHT AC
        0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};                            // SOS
    j.insert(j.end(), tables.begin(), tables.end());
    const std::size_t bits = 2u * static_cast<std::size_t>(width / 8) * static_cast<std::size_t>(height / 8);
    j.insert(j.end(), bits / 8, 0x00);
    if (bits % 8)
        j.push_back(static_cast<std::uint8_t>(0xFF >> (bits % 8))); // pad the last byte with ones
    j.insert(j.end(), {0xFF, 0xD9}); // EOI
    return j;
}

// Several paragraphs with non-ASCII text, markup characters, tabs, a line break, an empty
// paragraph, leading and trailing spaces, and two inline pictures (PNG 3x2, JPEG 16x8).
inline docserver::Document sampleDocument() {
    using docserver::Picture;
    docserver::Document doc;
    doc.insertAfter("Quillmend keeps every paragraph.");
    doc.insertParagraphAfter();
    doc.insertAfter("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x80\x93 \xC3\xB1" "and\xC3\xBA, "
                    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E, \xF0\x9F\x98\x80 <tag> & \"quotes\" = 100%");
    doc.insertParagraphAfter();
    doc.insertParagraphAfter(); // an empty paragraph
    doc.insertAfter("Tab\there, a line\vbreak and a picture ");
    doc.insertPicture(Picture::fromBytes(tinyPng(3, 2)));
    doc.insertAfter(" after it");
    doc.insertParagraphAfter();
    doc.insertPicture(Picture::fromBytes(tinyJpeg()));
    doc.insertParagraphAfter();
    doc.insertAfter("  leading and trailing spaces  ");
    doc.insertParagraphAfter();
    doc.insertAfter("Last paragraph");
    return doc;
}

// A ZIP archive (deflated entries) of the given names and contents, built with libzip.
inline std::vector<std::uint8_t> zipOf(const std::vector<std::pair<std::string, std::string>>& entries) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    if (!za)
        throw std::runtime_error("zip_open_from_source");
    zip_source_keep(buffer);
    for (const auto& [name, data] : entries) {
        zip_source_t* src = zip_source_buffer(za, data.data(), data.size(), 0);
        if (zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8) < 0)
            throw std::runtime_error("zip_file_add");
    }
    if (zip_close(za) != 0)
        throw std::runtime_error("zip_close");
    zip_source_open(buffer);
    zip_source_seek(buffer, 0, SEEK_END);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(zip_source_tell(buffer)));
    zip_source_seek(buffer, 0, SEEK_SET);
    zip_source_read(buffer, out.data(), out.size());
    zip_source_close(buffer);
    zip_source_free(buffer);
    return out;
}

} // namespace qm::test
