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
    // Written from the writer's own buffer: a large document is not held twice.
    std::string text;
    std::vector<std::uint8_t> binary;
    switch (format) {
    case Format::Html:
        writeHtmlPage(doc, file);
        return;
    case Format::Mht: text = writeMht(doc, file.stem().string()); break;
    case Format::Docx: binary = writeDocx(doc); break;
    case Format::Doc: binary = writeDocBinary(doc); break;
    case Format::Rtf: text = writeRtf(doc); break;
    case Format::Txt: text = writeTxt(doc); break;
    }
    const std::string_view bytes =
        binary.empty() ? std::string_view(text)
                       : std::string_view(reinterpret_cast<const char*>(binary.data()), binary.size());
    if (!files::writeFileAtomic(file, bytes))
        throw DocError("cannot write " + file.string() + ": " + std::strerror(errno));
}

Document readDocument(const std::filesystem::path& file) {
    if (files::isFolder(file))
        throw DocError("cannot read " + file.string() + ": it is a folder");
    // Mapped, not read: a large input costs no memory of its own beyond what is read from it.
    const auto data = files::MappedFile::open(file);
    if (!data)
        throw DocError("cannot read " + file.string());
    const Bytes bytes = data->bytes();
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
