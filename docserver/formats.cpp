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
    // Every writer goes to the file in steps: a large document is never held whole.
    switch (format) {
    case Format::Html: writeHtmlPage(doc, file); return;
    case Format::Docx: writeDocx(doc, file); return;
    case Format::Doc: writeDocBinary(doc, file); return;
    case Format::Mht:
    case Format::Rtf:
    case Format::Txt: break;
    }
    FileSink sink(file);
    if (format == Format::Mht)
        writeMht(sink, doc, file.stem().string());
    else if (format == Format::Rtf)
        writeRtf(sink, doc);
    else
        writeTxt(sink, doc);
    sink.commit();
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
