#include "docserver/doc_picture_record.h"

#include "docserver/binary_io.h"

#include <zlib.h>

#include <algorithm>
#include <array>

namespace qm::docserver::docpic {
namespace {

constexpr std::uint16_t kSpContainer = 0xF004;
constexpr std::uint16_t kFsp = 0xF00A;
constexpr std::uint16_t kFopt = 0xF00B;
constexpr std::uint16_t kFbse = 0xF007;
constexpr std::uint16_t kBlipFirst = 0xF018;
constexpr std::uint16_t kBlipLast = 0xF117;
constexpr std::uint16_t kBlipEmf = 0xF01A, kBlipWmf = 0xF01B, kBlipPict = 0xF01C;
constexpr std::uint16_t kBlipJpeg = 0xF01D, kBlipPng = 0xF01E, kBlipDib = 0xF01F, kBlipTiff = 0xF029;
constexpr std::uint16_t kBlipCmykJpeg = 0xF02A;
constexpr std::size_t kFbseSize = 36;
constexpr std::size_t kMetafileHeaderSize = 34;
// An inflated metafile larger than this is treated as damage.
constexpr std::size_t kMaxInflated = 256u << 20;
constexpr int kMaxDepth = 16;

struct RecordHeader {
    std::uint16_t ver = 0, instance = 0, type = 0;
    std::uint32_t length = 0;
};

RecordHeader header(Bytes b, std::size_t at) {
    const std::uint16_t vi = bin::u16(b, at);
    return {std::uint16_t(vi & 0x0F), std::uint16_t(vi >> 4), bin::u16(b, at + 2), bin::u32(b, at + 4)};
}

void putHeader(bin::Writer& w, std::uint16_t ver, std::uint16_t instance, std::uint16_t type, std::size_t length) {
    w.u16(std::uint16_t((instance << 4) | (ver & 0x0F)));
    w.u16(type);
    w.u32(static_cast<std::uint32_t>(length));
}

std::vector<std::uint8_t> inflateBounded(Bytes in, std::size_t expected) {
    std::vector<std::uint8_t> out;
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return out;
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    std::array<std::uint8_t, 16384> buf;
    int rc = Z_OK;
    while (rc == Z_OK && out.size() < kMaxInflated) {
        z.next_out = buf.data();
        z.avail_out = buf.size();
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf.data(), buf.data() + (buf.size() - z.avail_out));
        if (rc == Z_BUF_ERROR || (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0))
            break;
    }
    inflateEnd(&z);
    if (expected && out.size() > expected)
        out.resize(expected);
    return out;
}

// A DIB (BITMAPINFOHEADER + palette + bits) as a BMP file.
std::vector<std::uint8_t> dibToBmp(Bytes dib) {
    const std::uint32_t headerSize = bin::u32(dib, 0);
    const std::uint16_t bitCount = bin::u16(dib, 14);
    const std::uint32_t compression = bin::u32(dib, 16);
    std::uint32_t colours = bin::u32(dib, 32);
    if (colours == 0 && bitCount <= 8)
        colours = 1u << bitCount;
    std::uint64_t bitsAt = 14 + std::uint64_t(headerSize) + std::uint64_t(colours) * 4;
    if (headerSize == 40 && compression == 3)
        bitsAt += 12; // BI_BITFIELDS masks
    bin::Writer w;
    w.u8('B');
    w.u8('M');
    w.u32(static_cast<std::uint32_t>(14 + dib.size()));
    w.u32(0);
    w.u32(static_cast<std::uint32_t>(std::min<std::uint64_t>(bitsAt, 14 + dib.size())));
    w.put(dib);
    return w.bytes;
}

std::optional<Picture> picture(std::vector<std::uint8_t> bytes) {
    if (bytes.empty())
        return std::nullopt;
    return Picture::fromBytes(std::move(bytes));
}

// An image found by its signature: PNG up to its end chunk, JPEG up to its last end marker,
// anything else up to the end of the region.
std::optional<Picture> scanForImage(Bytes b) {
    static constexpr std::uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (std::size_t i = 0; i + 8 <= b.size(); ++i) {
        if (std::equal(std::begin(png), std::end(png), b.begin() + i)) {
            static constexpr std::uint8_t iend[] = {'I', 'E', 'N', 'D'};
            auto it = std::search(b.begin() + i, b.end(), std::begin(iend), std::end(iend));
            std::size_t end = b.size();
            if (it != b.end())
                end = std::min<std::size_t>(b.size(), static_cast<std::size_t>(it - b.begin()) + 8);
            return picture({b.begin() + i, b.begin() + end});
        }
        if (b[i] == 0xFF && b[i + 1] == 0xD8 && b[i + 2] == 0xFF) {
            std::size_t end = b.size();
            for (std::size_t k = b.size(); k >= i + 4; --k)
                if (b[k - 2] == 0xFF && b[k - 1] == 0xD9) {
                    end = k;
                    break;
                }
            return picture({b.begin() + i, b.begin() + end});
        }
        if (b[i] == 'G' && b[i + 1] == 'I' && b[i + 2] == 'F' && b[i + 3] == '8')
            return picture({b.begin() + i, b.end()});
    }
    return std::nullopt;
}

void collectBlips(Bytes b, int depth, std::vector<Picture>& out) {
    std::size_t pos = 0;
    while (pos + 8 <= b.size()) {
        const RecordHeader h = header(b, pos);
        const std::size_t bodyAt = pos + 8;
        const std::size_t length = std::min<std::size_t>(h.length, b.size() - bodyAt);
        const Bytes body = b.subspan(bodyAt, length);
        if (h.type >= kBlipFirst && h.type <= kBlipLast) {
            if (auto p = pictureFromBlip(b.subspan(pos, 8 + length)))
                out.push_back(std::move(*p));
        } else if (h.type == kFbse && depth < kMaxDepth) {
            const std::size_t blipAt = kFbseSize + bin::u8(body, 33);
            if (blipAt < body.size())
                collectBlips(body.subspan(blipAt), depth + 1, out);
        } else if (h.ver == 0x0F && depth < kMaxDepth) {
            collectBlips(body, depth + 1, out);
        } else if (h.type < 0xF000) {
            break; // not an OfficeArt record: the rest cannot be walked
        }
        pos = bodyAt + length;
    }
}

// The pib property (1-based BLIP index) of the first shape in a run of records; 0 if none.
std::uint32_t findPib(Bytes b, int depth = 0) {
    std::size_t pos = 0;
    while (pos + 8 <= b.size()) {
        const RecordHeader h = header(b, pos);
        const std::size_t length = std::min<std::size_t>(h.length, b.size() - pos - 8);
        const Bytes body = b.subspan(pos + 8, length);
        if (h.type == kFopt) {
            for (std::size_t k = 0; k < h.instance && 6 * k + 6 <= body.size(); ++k)
                if ((bin::u16(body, 6 * k) & 0x3FFF) == 0x0104)
                    return bin::u32(body, 6 * k + 2);
        } else if (h.ver == 0x0F && h.type == kSpContainer && depth < kMaxDepth) {
            if (std::uint32_t pib = findPib(body, depth + 1))
                return pib;
        } else if (h.type < 0xF000) {
            break;
        }
        pos += 8 + length;
    }
    return 0;
}

// 16 bytes standing for the picture data in its BLIP records (readers only compare them).
std::array<std::uint8_t, 16> uidOf(Bytes data) {
    std::uint64_t a = 0xcbf29ce484222325ULL, b = 0x84222325cbf29ce4ULL;
    for (std::uint8_t c : data) {
        a = (a ^ c) * 0x100000001b3ULL;
        b = (b ^ (c + 0x5A)) * 0x100000001b3ULL;
    }
    std::array<std::uint8_t, 16> uid{};
    for (int i = 0; i < 8; ++i) {
        uid[i] = std::uint8_t(a >> (8 * i));
        uid[8 + i] = std::uint8_t(b >> (8 * i));
    }
    return uid;
}

struct BlipPlan {
    std::uint16_t type = kBlipPng, instance = 0x6E0;
    std::uint8_t bt = 6; // FBSE picture type
    bool metafile = false;
};

BlipPlan planFor(PictureType type) {
    switch (type) {
    case PictureType::Jpeg: return {kBlipJpeg, 0x46A, 5, false};
    case PictureType::Bmp: return {kBlipDib, 0x7A8, 7, false};
    case PictureType::Tiff: return {kBlipTiff, 0x6E4, 0x11, false};
    case PictureType::Emf: return {kBlipEmf, 0x3D4, 2, true};
    case PictureType::Wmf: return {kBlipWmf, 0x216, 3, true};
    // GIF and unknown data travel in a PNG BLIP: readers recognise images by their content.
    default: return {kBlipPng, 0x6E0, 6, false};
    }
}

struct Size {
    std::int64_t x = 0, y = 0; // twips
};

Size naturalSize(const Picture& p) {
    const Bytes b = p.bytes;
    if (p.widthPx > 0 && p.heightPx > 0)
        return {std::int64_t(p.widthPx) * 15, std::int64_t(p.heightPx) * 15};
    if (p.type == PictureType::Emf) {
        // rclFrame, in hundredths of a millimetre.
        const std::int64_t w = std::int64_t(bin::s32(b, 32)) - bin::s32(b, 24);
        const std::int64_t h = std::int64_t(bin::s32(b, 36)) - bin::s32(b, 28);
        if (w > 0 && h > 0)
            return {w * 1440 / 2540, h * 1440 / 2540};
    }
    if (p.type == PictureType::Wmf && bin::u32(b, 0) == 0x9AC6CDD7) {
        const std::int64_t w = std::int64_t(bin::s16(b, 10)) - bin::s16(b, 6);
        const std::int64_t h = std::int64_t(bin::s16(b, 12)) - bin::s16(b, 8);
        const std::int64_t inch = bin::u16(b, 14);
        if (w > 0 && h > 0 && inch > 0)
            return {w * 1440 / inch, h * 1440 / inch};
    }
    return {1440, 1440};
}

std::vector<std::uint8_t> buildBlip(const Picture& p, BlipPlan& plan) {
    plan = planFor(p.type);
    Bytes data = p.bytes;
    if (p.type == PictureType::Bmp && data.size() > 14)
        data = data.subspan(14); // the BLIP holds the DIB without its file header
    if (p.type == PictureType::Wmf && bin::u32(data, 0) == 0x9AC6CDD7 && data.size() > 22)
        data = data.subspan(22); // nor the placeable header of a metafile
    const auto uid = uidOf(data);
    bin::Writer body;
    body.put(uid);
    if (plan.metafile) {
        uLongf packedSize = compressBound(data.size());
        std::vector<std::uint8_t> packed(packedSize);
        if (compress2(packed.data(), &packedSize, data.data(), data.size(), Z_BEST_COMPRESSION) != Z_OK)
            packedSize = 0;
        packed.resize(packedSize);
        const Size s = naturalSize(p);
        body.u32(static_cast<std::uint32_t>(data.size()));
        body.u32(0); // rcBounds
        body.u32(0);
        body.u32(static_cast<std::uint32_t>(s.x));
        body.u32(static_cast<std::uint32_t>(s.y));
        body.u32(static_cast<std::uint32_t>(s.x * 635)); // ptSize in EMUs
        body.u32(static_cast<std::uint32_t>(s.y * 635));
        if (packedSize) {
            body.u32(static_cast<std::uint32_t>(packed.size()));
            body.u8(0x00); // deflate
            body.u8(0xFE);
            body.put(packed);
        } else {
            body.u32(static_cast<std::uint32_t>(data.size()));
            body.u8(0xFE); // stored
            body.u8(0xFE);
            body.put(data);
        }
    } else {
        body.u8(0xFF); // tag
        body.put(data);
    }
    bin::Writer blip;
    putHeader(blip, 0, plan.instance, plan.type, body.size());
    blip.put(body.bytes);
    return blip.bytes;
}

} // namespace

std::vector<std::uint8_t> buildRecord(const Picture& p) {
    BlipPlan plan;
    const std::vector<std::uint8_t> blip = buildBlip(p, plan);

    // The inline shape: a picture frame whose pib property names the first BLIP below.
    bin::Writer shape;
    putHeader(shape, 0x0F, 0, kSpContainer, 8 + 8 + 8 + 6);
    putHeader(shape, 2, 75, kFsp, 8); // msosptPictureFrame
    shape.u32(0x0401);                // spid
    shape.u32(0x0A00);                // fHaveAnchor | fHaveSpt
    putHeader(shape, 3, 1, kFopt, 6);
    shape.u16(0x4104); // pib, a BLIP id
    shape.u32(1);

    bin::Writer fbse;
    putHeader(fbse, 2, plan.bt, kFbse, kFbseSize + blip.size());
    fbse.u8(plan.bt);
    fbse.u8(plan.bt);
    fbse.put(Bytes(blip).subspan(8, 16)); // the BLIP's uid
    fbse.u16(0x00FF);
    fbse.u32(static_cast<std::uint32_t>(blip.size()));
    fbse.u32(1); // cRef
    fbse.u32(0); // foDelay
    fbse.zeros(4);
    fbse.put(blip);

    // Natural size, scaled down to fit a 6.5 x 9 inch text area.
    const Size natural = naturalSize(p);
    double scale = 1.0;
    scale = std::min(scale, 9360.0 / double(natural.x));
    scale = std::min(scale, 12960.0 / double(natural.y));
    // dxaGoal/dyaGoal are 16-bit: very large pictures keep their aspect at a smaller goal.
    const double shrink = std::max({1.0, double(natural.x) / 32767.0, double(natural.y) / 32767.0});
    const auto goalX = static_cast<std::uint16_t>(std::max<double>(1, double(natural.x) / shrink));
    const auto goalY = static_cast<std::uint16_t>(std::max<double>(1, double(natural.y) / shrink));
    const auto mx = static_cast<std::uint16_t>(std::clamp(scale * shrink * 1000.0, 1.0, 65535.0));
    const auto my = mx;

    bin::Writer r;
    const std::size_t total = kPicfHeaderSize + shape.size() + fbse.size();
    r.u32(static_cast<std::uint32_t>(total)); // lcb
    r.u16(kPicfHeaderSize);                   // cbHeader
    r.u16(kMmShape);                          // mfpf.mm
    r.u16(0);                                 // mfpf.xExt
    r.u16(0);                                 // mfpf.yExt
    r.u16(0);                                 // mfpf.swHMF
    r.zeros(14);                              // innerHeader
    r.u16(goalX);                             // picmid.dxaGoal
    r.u16(goalY);                             // picmid.dyaGoal
    r.u16(mx);
    r.u16(my);
    r.zeros(8);      // cropping
    r.zeros(2);      // flags, bpp
    r.zeros(16);     // borders
    r.zeros(4);      // dxaReserved3, dyaReserved3
    r.u16(0);        // cProps
    r.put(shape.bytes);
    r.put(fbse.bytes);
    return r.bytes;
}

bool looksLikeRecord(std::span<const std::uint8_t> b, std::size_t at) {
    return bin::fits(b.size(), at, 8) && bin::u16(b, at + 4) == kPicfHeaderSize && bin::u16(b, at + 6) == kMmShape &&
           bin::u32(b, at) >= kPicfHeaderSize;
}

std::optional<Picture> pictureFromBlip(std::span<const std::uint8_t> blip) {
    const RecordHeader h = header(blip, 0);
    const Bytes body = bin::slice(blip, 8, h.length);
    const std::size_t uids = (h.instance & 1) ? 32 : 16;
    switch (h.type) {
    case kBlipEmf:
    case kBlipWmf:
    case kBlipPict: {
        const Bytes meta = bin::slice(body, uids);
        const std::uint32_t rawSize = bin::u32(meta, 0);
        const std::uint32_t saved = bin::u32(meta, 28);
        const std::uint8_t compression = bin::u8(meta, 32);
        const Bytes data = bin::slice(meta, kMetafileHeaderSize, saved);
        if (compression == 0x00)
            return picture(inflateBounded(data, rawSize));
        return picture({data.begin(), data.end()});
    }
    case kBlipJpeg:
    case kBlipPng:
    case kBlipTiff:
    case kBlipCmykJpeg: {
        const Bytes data = bin::slice(body, uids + 1);
        return picture({data.begin(), data.end()});
    }
    case kBlipDib: {
        const Bytes data = bin::slice(body, uids + 1);
        if (data.size() < 40)
            return std::nullopt;
        return picture(dibToBmp(data));
    }
    default:
        return scanForImage(body);
    }
}

std::vector<Picture> blipsIn(std::span<const std::uint8_t> records) {
    std::vector<Picture> out;
    collectBlips(records, 0, out);
    return out;
}

std::optional<Picture> pictureFromRecord(std::span<const std::uint8_t> record) {
    const std::uint32_t lcb = bin::u32(record, 0);
    const std::uint16_t cbHeader = bin::u16(record, 4);
    const std::uint16_t mm = bin::u16(record, 6);
    const Bytes whole = bin::slice(record, 0, lcb >= cbHeader && cbHeader >= 8 ? lcb : record.size());
    if (cbHeader < 8 || cbHeader > whole.size())
        return scanForImage(whole);
    std::size_t start = cbHeader;
    if (mm == kMmShapeFile)
        start += 1 + bin::u8(whole, start);
    const Bytes data = bin::slice(whole, start);
    if (mm == kMmShape || mm == kMmShapeFile) {
        std::vector<Picture> found = blipsIn(data);
        if (!found.empty()) {
            const std::uint32_t pib = findPib(data);
            const std::size_t index = (pib >= 1 && pib <= found.size()) ? pib - 1 : 0;
            return std::move(found[index]);
        }
        return scanForImage(data);
    }
    // Older pictures: a Windows metafile (mm is its mapping mode) or a bitmap (mm 99).
    if (mm == 99 && bin::u32(data, 0) == 40)
        return picture(dibToBmp(data));
    if (mm <= 8 && data.size() >= 18 && (bin::u32(data, 0) == 0x00090001 || bin::u32(data, 0) == 0x00090002))
        return picture({data.begin(), data.end()});
    if (auto p = scanForImage(data))
        return p;
    std::vector<Picture> found = blipsIn(data);
    if (!found.empty())
        return std::move(found.front());
    return std::nullopt;
}

} // namespace qm::docserver::docpic
