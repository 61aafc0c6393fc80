// OOXML package writer (.docx), built in memory with libzip: content types, package and
// document relationships, the main document with inline pictures (DrawingML, r:embed into
// word/media), a small style sheet and the core and extended document properties.
#include "docserver/format_io.h"

#include <zip.h>

#include <algorithm>
#include <ctime>
#include <deque>
#include <memory>

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

struct Part {
    std::string name;
    std::string data;
    bool compress;
};

constexpr std::size_t kFastDeflateFrom = 1u << 20;

// Zips the parts into a byte buffer.
std::vector<std::uint8_t> zipParts(const std::deque<Part>& parts) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!buffer)
        throw DocError("cannot create the package buffer");
    zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    if (!za) {
        zip_source_free(buffer);
        throw DocError(std::string("cannot create the package: ") + zip_error_strerror(&error));
    }
    zip_source_keep(buffer); // we read the result from it after zip_close
    for (const auto& part : parts) {
        zip_source_t* src = zip_source_buffer(za, part.data.data(), part.data.size(), 0);
        const zip_int64_t index = src ? zip_file_add(za, part.name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (src)
                zip_source_free(src);
            zip_discard(za);
            zip_source_free(buffer);
            throw DocError("cannot add " + part.name + " to the package");
        }
        // A large part is deflated at the fastest level: on a body of several megabytes the
        // default level costs more than the whole rest of a salvage, for a third smaller output.
        const zip_uint32_t level = part.data.size() >= kFastDeflateFrom ? 1 : 0;
        zip_set_file_compression(za, static_cast<zip_uint64_t>(index), part.compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                 level);
    }
    if (zip_close(za) != 0) {
        const std::string why = zip_strerror(za);
        zip_discard(za);
        zip_source_free(buffer);
        throw DocError("cannot write the package: " + why);
    }
    std::vector<std::uint8_t> out;
    if (zip_source_open(buffer) == 0) {
        zip_source_seek(buffer, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(buffer);
        zip_source_seek(buffer, 0, SEEK_SET);
        if (size > 0) {
            out.resize(static_cast<std::size_t>(size));
            if (zip_source_read(buffer, out.data(), out.size()) != size)
                out.clear();
        }
        zip_source_close(buffer);
    }
    zip_source_free(buffer);
    if (out.empty())
        throw DocError("cannot read back the written package");
    return out;
}

} // namespace

std::vector<std::uint8_t> writeDocx(const Document& doc) {
    std::deque<Part> parts; // stable addresses: libzip reads the data at zip_close
    std::string rels;       // word/_rels/document.xml.rels entries
    std::string defaults;   // content-type defaults for the media extensions used
    std::vector<std::string> extensions;

    std::string body;
    std::size_t pictureNumber = 0;
    std::size_t words = 0, characters = 0;
    for (const auto& para : doc.paragraphs()) {
        body += "<w:p>";
        for (const auto& run : para.runs) {
            if (!run.isPicture()) {
                if (!run.text.empty())
                    appendTextRuns(body, run.text);
                bool inWord = false;
                for (char c : run.text) {
                    const bool space = c == ' ' || c == '\t' || c == '\v';
                    words += !space && !inWord;
                    inWord = !space;
                    characters += (static_cast<std::uint8_t>(c) & 0xC0) != 0x80;
                }
                continue;
            }
            const Picture& pic = *run.picture;
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
            parts.push_back({"word/media/" + name, std::string(pic.bytes.begin(), pic.bytes.end()),
                             pic.type != PictureType::Png && pic.type != PictureType::Jpeg});
            appendPictureRun(body, pic, pictureNumber, relId, name);
        }
        body += "</w:p>";
    }

    std::string document = kXmlDecl;
    document +=
        "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
        "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\" "
        "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
        "xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\"><w:body>";
    document += body;
    document += "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/>"
                "<w:pgMar w:top=\"1440\" w:right=\"1440\" w:bottom=\"1440\" w:left=\"1440\" w:header=\"720\" "
                "w:footer=\"720\" w:gutter=\"0\"/></w:sectPr></w:body></w:document>";

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
           "<Paragraphs>" + std::to_string(doc.paragraphs().size()) + "</Paragraphs>"
           "<ScaleCrop>false</ScaleCrop><LinksUpToDate>false</LinksUpToDate>"
           "<SharedDoc>false</SharedDoc><HyperlinksChanged>false</HyperlinksChanged>"
           "<AppVersion>12.0000</AppVersion></Properties>";

    // [Content_Types].xml first, as packages conventionally begin.
    parts.push_front({"word/styles.xml", std::move(styles), true});
    parts.push_front({"word/_rels/document.xml.rels", std::move(documentRels), true});
    parts.push_front({"word/document.xml", std::move(document), true});
    parts.push_front({"_rels/.rels", std::move(packageRels), true});
    parts.push_front({"[Content_Types].xml", std::move(contentTypes), true});
    parts.push_back({"docProps/core.xml", std::move(core), true});
    parts.push_back({"docProps/app.xml", std::move(app), true});
    return zipParts(parts);
}

} // namespace qm::docserver
