// quillmend-make-samples: writes the two damaged sample documents shipped with the program,
// made by our own document writers and then damaged the way real files get damaged:
//
//   "Damaged Report.doc"   a Word 97-2003 document whose compound-file header is lost
//                          (its first 512 bytes zeroed)
//   "Damaged Letter.docx"  a package cut off before its central directory
//
//   quillmend-make-samples OUTPUT_FOLDER
#include "docserver/doc_binary.h"
#include "docserver/formats.h"
#include "platform/files.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using qm::docserver::Document;
using qm::docserver::Picture;

void putBe32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    const std::uint8_t b[4] = {std::uint8_t(x >> 24), std::uint8_t(x >> 16), std::uint8_t(x >> 8), std::uint8_t(x)};
    v.insert(v.end(), b, b + 4);
}

// A PNG of a blue-to-orange gradient: enough to see that a picture came back.
std::vector<std::uint8_t> gradientPng(std::uint32_t w, std::uint32_t h) {
    std::vector<std::uint8_t> pixels;
    for (std::uint32_t y = 0; y < h; ++y) {
        pixels.push_back(0);
        for (std::uint32_t x = 0; x < w; ++x) {
            const auto t = static_cast<std::uint8_t>(255 * x / (w - 1));
            pixels.insert(pixels.end(), {t, std::uint8_t(96 + y * 64 / h), std::uint8_t(255 - t)});
        }
    }
    uLongf packedSize = compressBound(pixels.size());
    std::vector<std::uint8_t> packed(packedSize);
    compress2(packed.data(), &packedSize, pixels.data(), pixels.size(), Z_BEST_COMPRESSION);
    packed.resize(packedSize);

    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&png](const char* tag, const std::vector<std::uint8_t>& body) {
        putBe32(png, static_cast<std::uint32_t>(body.size()));
        std::vector<std::uint8_t> tagged(tag, tag + 4);
        tagged.insert(tagged.end(), body.begin(), body.end());
        png.insert(png.end(), tagged.begin(), tagged.end());
        putBe32(png, static_cast<std::uint32_t>(crc32(0, tagged.data(), static_cast<uInt>(tagged.size()))));
    };
    std::vector<std::uint8_t> header;
    putBe32(header, w);
    putBe32(header, h);
    header.insert(header.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", header);
    chunk("IDAT", packed);
    chunk("IEND", {});
    return png;
}

Document sampleDocument(const std::string& title, const std::vector<std::string>& body) {
    Document doc;
    doc.insertAfter(title);
    doc.insertParagraphAfter();
    for (const auto& paragraph : body) {
        doc.insertAfter(paragraph);
        doc.insertParagraphAfter();
    }
    doc.insertPicture(Picture::fromBytes(gradientPng(160, 48)));
    doc.insertParagraphAfter();
    doc.insertAfter("End of the sample.");
    return doc;
}

bool writeBytes(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
    return qm::files::writeFile(p, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillmend-make-samples OUTPUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    if (!qm::files::createFolders(out)) {
        std::fprintf(stderr, "quillmend-make-samples: cannot create %s\n", out.c_str());
        return 1;
    }
    try {
        const Document report = sampleDocument(
            "Quarterly report",
            {"Sales rose in every region this quarter; the caf\xC3\xA9 chain in M\xC3\xBCnchen led the growth.",
             "Costs stayed within the budget agreed in March.",
             "The team thanks everyone who helped recover this document."});
        std::vector<std::uint8_t> doc = qm::docserver::writeDocBinary(report);
        std::fill(doc.begin(), doc.begin() + std::min<std::size_t>(512, doc.size()), 0);
        if (!writeBytes(out / "Damaged Report.doc", doc))
            throw qm::docserver::DocError("cannot write Damaged Report.doc");

        const Document letter = sampleDocument(
            "Dear Ms. Lind\xC3\xA9n,", {"Thank you for your letter of 4 May.",
                                      "The signed contract is enclosed; please return one copy.",
                                      "Kind regards, Ola Berg"});
        const auto docxPath = out / "Damaged Letter.docx";
        qm::docserver::writeDocument(letter, docxPath, qm::docserver::Format::Docx);
        auto bytes = qm::files::readFile(docxPath);
        if (!bytes)
            throw qm::docserver::DocError("cannot read back Damaged Letter.docx");
        // Cut the package right before its central directory.
        const std::uint8_t central[4] = {'P', 'K', 1, 2};
        const auto at = std::search(bytes->begin(), bytes->end(), central, central + 4);
        bytes->erase(at, bytes->end());
        if (!writeBytes(docxPath, *bytes))
            throw qm::docserver::DocError("cannot write Damaged Letter.docx");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmend-make-samples: %s\n", e.what());
        return 1;
    }
    return 0;
}
