// OOXML package reader (.docx, .docm): the paragraphs of the main document part with the
// text of their runs, tabs and line breaks, and inline pictures through the part's
// relationships. Tables, text boxes and content controls contribute their paragraphs in
// reading order; deleted text and field codes do not.
//
// Damaged packages: parts come from ZipPackage (which keeps what still decodes). The XML
// is parsed with pugixml; when it fails part-way, the tree built before the error is kept
// and the rest of the bytes go through a byte-level tag scanner, so text after a damaged
// stretch is not lost.
#include "docserver/format_io.h"
#include "docserver/zip_package.h"
#include "zip/file_header.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <map>

namespace qm::docserver {
namespace {

constexpr int kMaxDepth = 256;                          // deeper nesting is ignored
constexpr std::size_t kMaxPictureBytes = 512u << 20;    // all pictures of one document together

std::string_view localName(const char* name) {
    std::string_view n(name);
    const auto colon = n.find(':');
    return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

// The value of the attribute with the given local name (any prefix).
std::string attributeByLocalName(const pugi::xml_node& node, std::string_view local) {
    for (const auto& a : node.attributes())
        if (localName(a.name()) == local)
            return a.value();
    return {};
}

std::string dirOf(const std::string& part) {
    const auto slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

// Resolves a relationship target against the folder of its source part.
std::string resolveTarget(const std::string& baseDir, const std::string& target) {
    std::string path = !target.empty() && target.front() == '/' ? target.substr(1) : baseDir + target;
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string seg = path.substr(start, slash - start);
        if (seg == "..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (!seg.empty() && seg != ".") {
            segments.push_back(seg);
        }
        start = slash + 1;
    }
    std::string out;
    for (const auto& s : segments)
        out += (out.empty() ? "" : "/") + s;
    return urlUnescape(out);
}

// Relationship id -> resolved part name, for one .rels part.
std::map<std::string, std::string> readRelationships(ZipPackage& pkg, const std::string& part) {
    std::map<std::string, std::string> rels;
    const std::string relsName = dirOf(part) + "_rels/" + part.substr(dirOf(part).size()) + ".rels";
    const auto xml = pkg.read(relsName);
    if (!xml)
        return rels;
    pugi::xml_document d;
    d.load_buffer(xml->data(), xml->size(), pugi::parse_default | pugi::parse_fragment);
    for (const auto& root : d.children())
        for (const auto& r : root.children()) {
            if (localName(r.name()) != "Relationship" || std::string_view(r.attribute("TargetMode").value()) == "External")
                continue;
            rels[r.attribute("Id").value()] = resolveTarget(dirOf(part), r.attribute("Target").value());
        }
    return rels;
}

// The main document part named by the package relationships.
std::string mainPartName(ZipPackage& pkg) {
    if (const auto xml = pkg.read("_rels/.rels")) {
        pugi::xml_document d;
        d.load_buffer(xml->data(), xml->size(), pugi::parse_default | pugi::parse_fragment);
        for (const auto& root : d.children())
            for (const auto& r : root.children()) {
                const std::string_view type = r.attribute("Type").value();
                if (type.size() >= 15 && type.substr(type.size() - 15) == "/officeDocument")
                    return resolveTarget("", r.attribute("Target").value());
            }
    }
    return "word/document.xml";
}

class BodyReader {
public:
    BodyReader(ZipPackage& pkg, const std::string& part, Document& doc)
        : pkg_(pkg), rels_(readRelationships(pkg, part)), doc_(doc) {}

    void read(const std::string& xml) {
        pugi::xml_document d;
        const auto result = d.load_buffer(xml.data(), xml.size(),
                                          pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_fragment);
        for (const auto& top : d.children())
            block(top, 0);
        // pugixml keeps the tree it built before an error; the tag scanner takes the rest.
        if (!result && result.offset >= 0 && static_cast<std::size_t>(result.offset) < xml.size())
            scanTags(std::string_view(xml).substr(static_cast<std::size_t>(result.offset)));
    }

private:
    void startParagraph() {
        if (started_)
            doc_.insertParagraphAfter();
        started_ = true;
    }

    void text(std::string_view t) {
        std::string s(t);
        for (char& c : s)
            if (c == '\r' || c == '\n')
                c = ' ';
        doc_.insertAfter(s);
    }

    void picture(const std::string& relId) {
        // Once the pictures reach the limit no more are read (a guard against bombs).
        if (relId.empty() || pictureBytes_ >= kMaxPictureBytes)
            return;
        auto cached = cache_.find(relId);
        if (cached == cache_.end()) {
            std::optional<Picture> pic;
            if (const auto target = rels_.find(relId); target != rels_.end())
                if (auto bytes = pkg_.read(target->second);
                    bytes && !bytes->empty() && pictureBytes_ + bytes->size() <= kMaxPictureBytes)
                    pic = Picture::fromBytes(std::vector<std::uint8_t>(bytes->begin(), bytes->end()));
            cached = cache_.emplace(relId, std::move(pic)).first;
        }
        if (!cached->second || pictureBytes_ + cached->second->bytes.size() > kMaxPictureBytes)
            return;
        pictureBytes_ += cached->second->bytes.size();
        doc_.insertPicture(*cached->second);
    }

    // Block level: paragraphs, and the containers that hold them (tables, rows, cells,
    // content controls, custom XML, inserted or moved blocks).
    void block(const pugi::xml_node& node, int depth) {
        if (depth > kMaxDepth)
            return;
        for (const auto& child : node.children()) {
            if (child.type() != pugi::node_element)
                continue;
            const std::string_view ln = localName(child.name());
            if (ln == "p") {
                paragraph(child, depth + 1);
            } else if (ln == "AlternateContent") {
                block(chosen(child), depth + 1);
            } else if (ln == "sectPr" || ln == "tblPr" || ln == "tblGrid" || ln == "trPr" || ln == "tcPr" ||
                       ln == "sdtPr" || ln == "sdtEndPr" || ln == "del" || ln == "moveFrom") {
                continue;
            } else {
                block(child, depth + 1);
            }
        }
    }

    void paragraph(const pugi::xml_node& p, int depth) {
        startParagraph();
        inlines(p, depth);
        // Text boxes anchored in the paragraph follow it.
        std::vector<pugi::xml_node> boxes;
        boxes.swap(deferred_);
        for (const auto& box : boxes)
            block(box, depth + 1);
    }

    // The branch of mc:AlternateContent a current reader takes: the first Choice.
    static pugi::xml_node chosen(const pugi::xml_node& alternate) {
        for (const auto& c : alternate.children())
            if (localName(c.name()) == "Choice")
                return c;
        for (const auto& c : alternate.children())
            if (localName(c.name()) == "Fallback")
                return c;
        return {};
    }

    void inlines(const pugi::xml_node& node, int depth) {
        if (depth > kMaxDepth)
            return;
        for (const auto& child : node.children()) {
            if (child.type() != pugi::node_element)
                continue;
            const std::string_view ln = localName(child.name());
            if (ln == "t") {
                for (const auto& piece : child.children())
                    if (piece.type() == pugi::node_pcdata || piece.type() == pugi::node_cdata)
                        text(piece.value());
            } else if (ln == "tab" || ln == "ptab") {
                text("\t");
            } else if (ln == "br" || ln == "cr") {
                text("\v");
            } else if (ln == "noBreakHyphen") {
                text("-");
            } else if (ln == "drawing" || ln == "pict" || ln == "object") {
                graphic(child, depth + 1);
            } else if (ln == "AlternateContent") {
                inlines(chosen(child), depth + 1);
            } else if (ln == "txbxContent" || ln == "p") {
                deferred_.push_back(child);
            } else if (ln == "pPr" || ln == "rPr" || ln == "delText" || ln == "instrText" || ln == "delInstrText" ||
                       ln == "del" || ln == "moveFrom" || ln == "fldData" || ln == "sectPr" || ln == "sym" ||
                       ln == "softHyphen" || ln == "footnoteReference" || ln == "endnoteReference" ||
                       ln == "commentReference" || ln == "annotationRef") {
                continue;
            } else {
                inlines(child, depth + 1); // runs, hyperlinks, fields, smart tags, content controls, ...
            }
        }
    }

    // A DrawingML or VML graphic: its pictures, and text boxes for later.
    void graphic(const pugi::xml_node& node, int depth) {
        if (depth > kMaxDepth)
            return;
        for (const auto& child : node.children()) {
            if (child.type() != pugi::node_element)
                continue;
            const std::string_view ln = localName(child.name());
            if (ln == "blip") {
                picture(attributeByLocalName(child, "embed"));
            } else if (ln == "imagedata") {
                std::string id = attributeByLocalName(child, "id");
                picture(id.empty() ? attributeByLocalName(child, "relid") : id);
            } else if (ln == "txbxContent") {
                deferred_.push_back(child);
            } else if (ln == "AlternateContent") {
                graphic(chosen(child), depth + 1);
            } else {
                graphic(child, depth + 1);
            }
        }
    }

    // Byte-level fallback for XML pugixml could not parse: paragraph starts, run text,
    // tabs, breaks and picture references, taken in order; everything before the first
    // paragraph start is skipped.
    void scanTags(std::string_view xml) {
        bool inParagraph = false;
        std::size_t i = 0;
        while ((i = xml.find('<', i)) != std::string_view::npos) {
            std::size_t nameEnd = i + 1;
            while (nameEnd < xml.size() && !std::strchr(" \t\r\n/>", xml[nameEnd]))
                ++nameEnd;
            const std::size_t tagEnd = xml.find('>', nameEnd);
            if (tagEnd == std::string_view::npos)
                break;
            const std::string name(xml.substr(i + 1, nameEnd - i - 1));
            const std::string_view attrs = xml.substr(nameEnd, tagEnd - nameEnd);
            const bool selfClosing = xml[tagEnd - 1] == '/';
            const std::string_view ln = localName(name.c_str());
            i = tagEnd + 1;
            if (name.empty() || name[0] == '/' || name[0] == '!' || name[0] == '?')
                continue;
            if (ln == "p") {
                startParagraph();
                inParagraph = true;
            } else if (!inParagraph) {
                continue;
            } else if (ln == "t" && !selfClosing) {
                const std::size_t end = std::min(xml.find('<', i), xml.size());
                text(decodeEntities(xml.substr(i, end - i)));
                i = end;
            } else if (ln == "tab" && attrs.find("val") == std::string_view::npos) { // not a tab stop
                text("\t");
            } else if (ln == "br" || ln == "cr") {
                text("\v");
            } else if (ln == "blip" || ln == "imagedata") {
                const std::string_view key = ln == "blip" ? "embed=\"" : "id=\"";
                const std::size_t k = attrs.find(key);
                if (k != std::string_view::npos) {
                    const std::size_t v = k + key.size();
                    const std::size_t q = attrs.find('"', v);
                    if (q != std::string_view::npos)
                        picture(std::string(attrs.substr(v, q - v)));
                }
            }
        }
    }

    ZipPackage& pkg_;
    std::map<std::string, std::string> rels_;
    Document& doc_;
    bool started_ = false;
    std::vector<pugi::xml_node> deferred_;
    std::map<std::string, std::optional<Picture>> cache_;
    std::size_t pictureBytes_ = 0;
};

} // namespace

Document readDocx(Bytes bytes) {
    ZipPackage pkg(bytes);
    std::string part = mainPartName(pkg);
    std::optional<std::string> xml = pkg.read(part);
    if (!xml) {
        // The relationships may be lost or point nowhere: take any main document part.
        for (const auto& name : pkg.names()) {
            if (name.size() >= 12 && name.substr(name.size() - 12) == "document.xml" && name.find("glossary") == std::string::npos) {
                if ((xml = pkg.read(name))) {
                    part = name;
                    break;
                }
            }
        }
    }
    if (!xml || xml->empty())
        throw DocError("the package holds no readable document part");
    Document doc;
    BodyReader(pkg, part, doc).read(*xml);
    return doc;
}

bool looksLikeZip(Bytes bytes) {
    static constexpr std::string_view kPackageNames[] = {"[Content_Types]", "_rels/", "word/", "docProps/",
                                                         "customXml/"};
    constexpr std::size_t kHeader = CFileHeader::kLocalHeaderSize;
    for (std::size_t at = CFileHeader::FindSignature(bytes); at != CFileHeader::npos;
         at = CFileHeader::FindSignature(bytes, at + 1)) {
        if (bytes.size() - at < kHeader + 5)
            break;
        const std::string_view name(reinterpret_cast<const char*>(bytes.data() + at + kHeader), bytes.size() - at - kHeader);
        for (auto prefix : kPackageNames)
            if (name.substr(0, prefix.size()) == prefix)
                return true;
    }
    return false;
}

} // namespace qm::docserver
