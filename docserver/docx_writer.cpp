// OOXML package writer (.docx), written with libzip from scratch files: content types, package and
// document relationships, the main document with inline pictures (DrawingML, r:embed into
// word/media), a small style sheet and the core and extended document properties.
#include "docserver/format_io.h"
#include "docserver/libzip_loader.h"

#include "platform/files.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>

#include <unistd.h>

namespace qm::docserver {
namespace {

constexpr long long kEmuPerPixel = 9525;          // 914400 EMU per inch at 96 pixels per inch
constexpr long long kMaxWidthEmu = 6 * 914400LL;  // the text width of a Letter page with 1" margins
constexpr long long kUnknownSizeEmu = 914400;     // a picture without a known size: one inch square

const char* kXmlDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";

std::string textXml(const std::string& text) { return escapeMarkup(xmlSafe(repairUtf8(text))); }

// The runs of one paragraph: text pieces in <w:t>, tabs and breaks as their own elements.
void appendTextRuns(std::string& out, const std::string& text) {
    std::string piece;
    auto flush = [&] {
        if (!piece.empty())
            out += "<w:t xml:space=\"preserve\">" + textXml(piece) + "</w:t>";
        piece.clear();
    };
    out += "<w:r>";
    for (char c : text) {
        if (c == '\t' || c == '\v') {
            flush();
            out += c == '\t' ? "<w:tab/>" : "<w:br/>";
        } else {
            piece += c;
        }
    }
    flush();
    out += "</w:r>";
}

void appendPictureRun(std::string& out, const Picture& pic, std::size_t number, const std::string& relId,
                      const std::string& name) {
    long long cx = kUnknownSizeEmu, cy = kUnknownSizeEmu;
    if (pic.widthPx > 0 && pic.heightPx > 0) {
        cx = pic.widthPx * kEmuPerPixel;
        cy = pic.heightPx * kEmuPerPixel;
        if (cx > kMaxWidthEmu) { // scale down to the text width, keeping the aspect ratio
            cy = cy * kMaxWidthEmu / cx;
            cx = kMaxWidthEmu;
        }
    }
    const std::string ext = "cx=\"" + std::to_string(cx) + "\" cy=\"" + std::to_string(cy) + "\"";
    const std::string id = std::to_string(number);
    out += "<w:r><w:drawing><wp:inline distT=\"0\" distB=\"0\" distL=\"0\" distR=\"0\">";
    out += "<wp:extent " + ext + "/><wp:effectExtent l=\"0\" t=\"0\" r=\"0\" b=\"0\"/>";
    out += "<wp:docPr id=\"" + id + "\" name=\"Picture " + id + "\"/>";
    out += "<wp:cNvGraphicFramePr><a:graphicFrameLocks noChangeAspect=\"1\"/></wp:cNvGraphicFramePr>";
    out += "<a:graphic><a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/picture\">";
    out += "<pic:pic><pic:nvPicPr><pic:cNvPr id=\"" + id + "\" name=\"" + name + "\"/><pic:cNvPicPr/></pic:nvPicPr>";
    out += "<pic:blipFill><a:blip r:embed=\"" + relId + "\"/><a:stretch><a:fillRect/></a:stretch></pic:blipFill>";
    out += "<pic:spPr><a:xfrm><a:off x=\"0\" y=\"0\"/><a:ext " + ext + "/></a:xfrm>";
    out += "<a:prstGeom prst=\"rect\"><a:avLst/></a:prstGeom></pic:spPr></pic:pic>";
    out += "</a:graphicData></a:graphic></wp:inline></w:drawing></w:r>";
}

std::string w3cdtfNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// A part's bytes: held in memory (the small parts), or a range of a scratch file (the main
// document and the pictures, which can be of any size).
struct Part {
    std::string name;
    std::string data;
    bool compress;
    files::ScratchFile* file = nullptr;
    std::uint64_t start = 0, size = 0;
};

constexpr std::size_t kFastDeflateFrom = 1u << 20;

// A libzip source that reads a range of a scratch file when the package is written.
struct RangeSource {
    files::ScratchFile* file;
    std::uint64_t start, size, pos = 0;
    zip_error_t error{};
};

zip_int64_t readRange(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* r = static_cast<RangeSource*>(userdata);
    switch (cmd) {
    case ZIP_SOURCE_OPEN: r->pos = 0; return 0;
    case ZIP_SOURCE_READ: {
        const std::uint64_t n = std::min<std::uint64_t>(len, r->size - r->pos);
        if (n > 0 && !r->file->readAt(r->start + r->pos, data, static_cast<std::size_t>(n))) {
            libzip().zip_error_set(&r->error, ZIP_ER_READ, errno);
            return -1;
        }
        r->pos += n;
        return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE: return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = static_cast<zip_stat_t*>(data);
        libzip().zip_stat_init(st);
        st->size = r->size;
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(*st);
    }
    case ZIP_SOURCE_ERROR: return libzip().zip_error_to_data(&r->error, data, len);
    case ZIP_SOURCE_FREE: delete r; return 0;
    case ZIP_SOURCE_SUPPORTS:
        return libzip().zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default: libzip().zip_error_set(&r->error, ZIP_ER_OPNOTSUPP, 0); return -1;
    }
}

// Zips the parts into file: written beside it and renamed over it when complete, so a failure
// leaves nothing behind. libzip reads the parts' data while it writes. libzip writes a file of
// its own and renames it to the name it was given, so that name is only chosen, not created:
// each file made and replaced costs the file system more than writing a small package.
void zipParts(const std::deque<Part>& parts, const std::filesystem::path& file) {
    const std::filesystem::path part = files::siblingName(file);
    if (part.empty())
        throw DocError("cannot write " + file.string() + ": " + std::strerror(errno));
    int zerr = 0;
    zip_t* za = libzip().zip_open(part.c_str(), ZIP_CREATE | ZIP_EXCL, &zerr);
    if (!za) {
        ::unlink(part.c_str());
        zip_error_t error;
        libzip().zip_error_init_with_code(&error, zerr);
        const std::string why = libzip().zip_error_strerror(&error);
        libzip().zip_error_fini(&error);
        throw DocError("cannot write " + file.string() + ": " + why);
    }
    auto fail = [&](const std::string& why) {
        libzip().zip_discard(za);
        ::unlink(part.c_str());
        throw DocError("cannot write " + file.string() + ": " + why);
    };
    for (const auto& p : parts) {
        zip_source_t* src = nullptr;
        if (p.file) {
            auto* range = new RangeSource{p.file, p.start, p.size};
            src = libzip().zip_source_function(za, readRange, range);
            if (!src)
                delete range;
        } else {
            src = libzip().zip_source_buffer(za, p.data.data(), p.data.size(), 0);
        }
        const zip_int64_t index = src ? libzip().zip_file_add(za, p.name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (src)
                libzip().zip_source_free(src);
            fail("cannot add " + p.name + " to the package");
        }
        // A large part is deflated at the fastest level: on a body of several megabytes the
        // default level costs more than the whole rest of a salvage, for a third smaller output.
        const std::uint64_t size = p.file ? p.size : p.data.size();
        const zip_uint32_t level = size >= kFastDeflateFrom ? 1 : 0;
        libzip().zip_set_file_compression(za, static_cast<zip_uint64_t>(index), p.compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                 level);
    }
    if (libzip().zip_close(za) != 0)
        fail(libzip().zip_strerror(za));
    if (::rename(part.c_str(), file.c_str()) != 0) {
        const int saved = errno;
        ::unlink(part.c_str());
        throw DocError("cannot write " + file.string() + ": " + std::strerror(saved));
    }
}

// Appends to a scratch file; the failure of a full temporary folder ends the write.
void append(files::ScratchFile& f, std::string_view bytes) {
    if (!f.append(bytes))
        throw DocError(std::string("cannot write a temporary file: ") + std::strerror(errno));
}

} // namespace

void writeDocx(const Document& doc, const std::filesystem::path& file) {
    std::deque<Part> parts; // stable addresses: libzip reads the data at zip_close
    std::string rels;       // word/_rels/document.xml.rels entries
    std::string defaults;   // content-type defaults for the media extensions used
    std::vector<std::string> extensions;

    // The main document and the pictures go to scratch files as they come.
    auto body = files::ScratchFile::create();
    auto media = files::ScratchFile::create();
    if (!body || !media)
        throw DocError(std::string("cannot create a temporary file: ") + std::strerror(errno));
    append(*body, kXmlDecl);
    append(*body,
           "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
           "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\" "
           "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
           "xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\"><w:body>");
    std::string xml;
    std::size_t pictureNumber = 0;
    std::size_t words = 0, characters = 0;
    bool inParagraph = false, inWord = false;
    doc.forEachPiece([&](const Paragraph& piece, bool ends) {
        if (!inParagraph)
            xml += "<w:p>";
        inParagraph = !ends;
        for (const auto& run : piece.runs) {
            if (!run.isPicture()) {
                if (!run.text.empty())
                    appendTextRuns(xml, run.text);
                for (char c : run.text) {
                    const bool space = c == ' ' || c == '\t' || c == '\v';
                    words += !space && !inWord;
                    inWord = !space;
                    characters += (static_cast<std::uint8_t>(c) & 0xC0) != 0x80;
                }
                continue;
            }
            const Picture& pic = *run.picture;
            inWord = false;
            ++pictureNumber;
            const std::string ext = pic.extension();
            const std::string name = "image" + std::to_string(pictureNumber) + "." + ext;
            const std::string relId = "rId" + std::to_string(100 + pictureNumber);
            rels += "<Relationship Id=\"" + relId +
                    "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/image\" "
                    "Target=\"media/" + name + "\"/>";
            if (std::find(extensions.begin(), extensions.end(), ext) == extensions.end()) {
                extensions.push_back(ext);
                defaults += "<Default Extension=\"" + ext + "\" ContentType=\"" + pic.mimeType() + "\"/>";
            }
            Part m{"word/media/" + name, {}, pic.type != PictureType::Png && pic.type != PictureType::Jpeg};
            m.file = &*media;
            m.start = media->size();
            m.size = pic.bytes.size();
            append(*media, {reinterpret_cast<const char*>(pic.bytes.data()), pic.bytes.size()});
            parts.push_back(std::move(m));
            appendPictureRun(xml, pic, pictureNumber, relId, name);
        }
        if (ends) {
            xml += "</w:p>";
            inWord = false;
        }
        append(*body, xml);
        xml.clear();
    });
    append(*body, "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/>"
                  "<w:pgMar w:top=\"1440\" w:right=\"1440\" w:bottom=\"1440\" w:left=\"1440\" w:header=\"720\" "
                  "w:footer=\"720\" w:gutter=\"0\"/></w:sectPr></w:body></w:document>");
    Part document{"word/document.xml", {}, true};
    document.file = &*body;
    document.size = body->size();

    std::string contentTypes = kXmlDecl;
    contentTypes +=
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>" +
        defaults +
        "<Override PartName=\"/word/document.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
        "<Override PartName=\"/word/styles.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/>"
        "<Override PartName=\"/docProps/core.xml\" "
        "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
        "<Override PartName=\"/docProps/app.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
        "</Types>";

    std::string packageRels = kXmlDecl;
    packageRels +=
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
        "Target=\"word/document.xml\"/>"
        "<Relationship Id=\"rId2\" "
        "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties\" "
        "Target=\"docProps/core.xml\"/>"
        "<Relationship Id=\"rId3\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties\" "
        "Target=\"docProps/app.xml\"/>"
        "</Relationships>";

    std::string documentRels = kXmlDecl;
    documentRels += "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                    "<Relationship Id=\"rId1\" "
                    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
                    "Target=\"styles.xml\"/>" +
                    rels + "</Relationships>";

    std::string styles = kXmlDecl;
    styles += "<w:styles xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
              "<w:docDefaults><w:rPrDefault><w:rPr>"
              "<w:rFonts w:ascii=\"Calibri\" w:eastAsia=\"Calibri\" w:hAnsi=\"Calibri\" w:cs=\"Times New Roman\"/>"
              "<w:sz w:val=\"22\"/><w:szCs w:val=\"22\"/><w:lang w:val=\"en-US\" w:eastAsia=\"en-US\" w:bidi=\"ar-SA\"/>"
              "</w:rPr></w:rPrDefault><w:pPrDefault><w:pPr>"
              "<w:spacing w:after=\"160\" w:line=\"259\" w:lineRule=\"auto\"/></w:pPr></w:pPrDefault></w:docDefaults>"
              "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name w:val=\"Normal\"/>"
              "<w:qFormat/></w:style>"
              "<w:style w:type=\"character\" w:default=\"1\" w:styleId=\"DefaultParagraphFont\">"
              "<w:name w:val=\"Default Paragraph Font\"/><w:uiPriority w:val=\"1\"/><w:semiHidden/>"
              "<w:unhideWhenUsed/></w:style>"
              "</w:styles>";

    const std::string now = w3cdtfNow();
    std::string core = kXmlDecl;
    core += "<cp:coreProperties "
            "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
            "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
            "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
            "<dc:title></dc:title><dc:creator>Quillmend</dc:creator>"
            "<cp:lastModifiedBy>Quillmend</cp:lastModifiedBy><cp:revision>1</cp:revision>"
            "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" + now + "</dcterms:created>"
            "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">" + now + "</dcterms:modified>"
            "</cp:coreProperties>";

    std::string app = kXmlDecl;
    app += "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
           "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
           "<Template>Normal.dotm</Template><TotalTime>0</TotalTime><Pages>1</Pages>"
           "<Words>" + std::to_string(words) + "</Words><Characters>" + std::to_string(characters) +
           "</Characters><Application>Quillmend</Application><DocSecurity>0</DocSecurity>"
           "<Paragraphs>" + std::to_string(doc.paragraphCount()) + "</Paragraphs>"
           "<ScaleCrop>false</ScaleCrop><LinksUpToDate>false</LinksUpToDate>"
           "<SharedDoc>false</SharedDoc><HyperlinksChanged>false</HyperlinksChanged>"
           "<AppVersion>12.0000</AppVersion></Properties>";

    // [Content_Types].xml first, as packages conventionally begin.
    parts.push_front({"word/styles.xml", std::move(styles), true});
    parts.push_front({"word/_rels/document.xml.rels", std::move(documentRels), true});
    parts.push_front(std::move(document));
    parts.push_front({"_rels/.rels", std::move(packageRels), true});
    parts.push_front({"[Content_Types].xml", std::move(contentTypes), true});
    parts.push_back({"docProps/core.xml", std::move(core), true});
    parts.push_back({"docProps/app.xml", std::move(app), true});
    zipParts(parts, file);
}

} // namespace qm::docserver
