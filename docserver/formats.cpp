// Format choice by file name for writing, and by content for reading.
#include "docserver/formats.h"

#include "docserver/doc_binary.h"
#include "docserver/format_io.h"
#include "platform/files.h"

#include <cerrno>
#include <cstring>

namespace qm::docserver {

std::optional<Format> formatFromExtension(const std::filesystem::path& file) {
    const std::string ext = lowerAscii(file.extension().string());
    if (ext == ".docx")
        return Format::Docx;
    if (ext == ".doc")
        return Format::Doc;
    if (ext == ".html" || ext == ".htm")
        return Format::Html;
    if (ext == ".mht" || ext == ".mhtml")
        return Format::Mht;
    if (ext == ".rtf")
        return Format::Rtf;
    if (ext == ".txt")
        return Format::Txt;
    return std::nullopt;
}

void writeDocument(const Document& doc, const std::filesystem::path& file, Format format) {
    std::string bytes;
    switch (format) {
    case Format::Html:
        writeHtmlPage(doc, file);
        return;
    case Format::Mht: bytes = writeMht(doc, file.stem().string()); break;
    case Format::Docx: {
        const auto zip = writeDocx(doc);
        bytes.assign(zip.begin(), zip.end());
        break;
    }
    case Format::Doc: {
        const auto doc97 = writeDocBinary(doc);
        bytes.assign(doc97.begin(), doc97.end());
        break;
    }
    case Format::Rtf: bytes = writeRtf(doc); break;
    case Format::Txt: bytes = writeTxt(doc); break;
    }
    if (!files::writeFileAtomic(file, bytes))
        throw DocError("cannot write " + file.string() + ": " + std::strerror(errno));
}

Document readDocument(const std::filesystem::path& file) {
    if (files::isFolder(file))
        throw DocError("cannot read " + file.string() + ": it is a folder");
    const auto data = files::readFile(file);
    if (!data)
        throw DocError("cannot read " + file.string());
    const Bytes bytes(*data);
    try {
        if (bytes.empty())
            return Document{};
        if (looksLikeDocBinary(bytes))
            return readDocBinary(bytes);
        if (bytes.size() >= 4 && std::memcmp(bytes.data(), "PK\x03\x04", 4) == 0)
            return readDocx(bytes);
        if (looksLikeRtf(bytes))
            return readRtf(bytes);
        if (looksLikeMht(bytes))
            return readMht(bytes);
        if (looksLikeHtml(bytes))
            return readHtmlPage(bytes, file.parent_path());
        if (looksLikeZip(bytes)) // a package with junk in front
            return readDocx(bytes);
        return readTxt(bytes);
    } catch (const DocError& e) {
        throw DocError(file.filename().string() + ": " + e.what());
    } catch (const std::exception& e) {
        // No reader failure may take the server down: report it like any unreadable file.
        throw DocError(file.filename().string() + ": unreadable (" + e.what() + ")");
    }
}

} // namespace qm::docserver
