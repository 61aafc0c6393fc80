#include "cli/batch_report.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace qm::cli {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
size_t utf8Length(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = 0;
    unsigned cp = 0;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string unicodeEscape(unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", value);
    return buf;
}

void printList(std::ostream& out, const std::vector<std::string>& items) {
    for (size_t k = 0; k < items.size(); ++k)
        out << (k ? ", " : "") << jsonString(items[k]);
}

std::string causeOf(const std::string& what) {
    const auto colon = what.rfind(": ");
    return colon == std::string::npos ? what : what.substr(colon + 2);
}

// "412 words, 2 pictures, score 452.0"
std::string figures(const assess::Assessment& a) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%" PRIu64 " word%s, %" PRIu64 " picture%s, score %.1f", a.words,
                  a.words == 1 ? "" : "s", a.pictures, a.pictures == 1 ? "" : "s", a.score);
    return buf;
}

std::string jsonNumber(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

} // namespace

const CandidateRecord* FileReport::recommended() const {
    std::vector<assess::Assessment> list;
    for (const auto& c : candidates)
        list.push_back(c.assessment);
    const int best = assess::recommend(list);
    return best < 0 ? nullptr : &candidates[static_cast<size_t>(best)];
}

CandidateRecord& FileReport::candidate(int number) {
    for (auto& c : candidates)
        if (c.assessment.candidate == number)
            return c;
    candidates.emplace_back();
    candidates.back().assessment.candidate = number;
    return candidates.back();
}

void FileReport::addError(const std::string& what) {
    for (const auto& e : errors)
        if (causeOf(e) == causeOf(what))
            return;
    errors.push_back(what);
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = utf8Length(s, i);
        if (n == 0) {
            out += unicodeEscape(0xDC00 + c);
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(s, i, n);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += unicodeEscape(c);
        } else {
            out += static_cast<char>(c);
        }
        i += n;
    }
    return out + "\"";
}

void printSummary(std::ostream& out, const std::vector<FileReport>& reports) {
    out << "\nSummary\n";
    for (const auto& r : reports) {
        out << r.source << ": " << r.written.size() << " candidate" << (r.written.size() == 1 ? "" : "s")
            << " written\n";
        // A candidate's figures follow its first file; the recommended one is marked.
        const CandidateRecord* recommended = r.recommended();
        auto describe = [&](const std::string& path) {
            for (const auto& c : r.candidates) {
                if (c.files.empty() || c.files.front() != path)
                    continue;
                std::string text = ": " + figures(c.assessment);
                if (&c == recommended)
                    text += ", recommended";
                return text;
            }
            return std::string();
        };
        for (const auto& [n, path] : r.written)
            out << "  " << path << describe(path) << "\n";
        for (const auto& path : r.kept)
            out << "  kept existing " << path << describe(path) << "\n";
        if (!r.best.empty())
            out << "  best: " << r.best << "\n";
        for (const auto& e : r.errors)
            out << "  error: " << e << "\n";
        for (const auto& note : r.notes)
            out << "  note: " << note << "\n";
    }
}

void printJson(std::ostream& out, const std::string& outputFolder, const std::vector<FileReport>& reports,
               int exitStatus) {
    out << "{\n  \"output\": " << jsonString(outputFolder) << ",\n  \"files\": [";
    for (size_t i = 0; i < reports.size(); ++i) {
        const auto& r = reports[i];
        out << (i ? "," : "") << "\n    {\"source\": " << jsonString(r.source) << ", \"candidates\": [";
        for (size_t k = 0; k < r.written.size(); ++k) {
            const int number = r.written[k].first;
            out << (k ? ", " : "") << "{\"number\": " << number << ", \"path\": " << jsonString(r.written[k].second);
            for (const auto& c : r.candidates)
                if (c.assessment.candidate == number)
                    out << ", \"words\": " << c.assessment.words << ", \"pictures\": " << c.assessment.pictures
                        << ", \"score\": " << jsonNumber(c.assessment.score);
            out << "}";
        }
        const CandidateRecord* recommended = r.recommended();
        out << "], \"recommended\": ";
        if (recommended && !recommended->files.empty())
            out << recommended->assessment.candidate << ", \"recommended_path\": " << jsonString(recommended->files.front());
        else
            out << "null";
        if (!r.best.empty())
            out << ", \"best\": " << jsonString(r.best);
        out << ", \"kept\": [";
        printList(out, r.kept);
        out << "], \"errors\": [";
        printList(out, r.errors);
        out << "], \"notes\": [";
        printList(out, r.notes);
        out << "]";
        if (!r.previewsFolder.empty())
            out << ", \"previews\": " << jsonString(r.previewsFolder);
        out << "}";
    }
    out << "\n  ],\n  \"exit_status\": " << exitStatus << "\n}\n";
}

void printJsonRefusal(std::ostream& out, const std::string& reason, int exitStatus) {
    out << "{\n  \"error\": " << jsonString(reason) << ",\n  \"files\": [],\n  \"exit_status\": " << exitStatus
        << "\n}\n";
}

// Each field is a tag letter, the decimal length of its text, ':' and the text itself.
std::string serialize(const FileReport& r) {
    std::string out;
    auto field = [&](char tag, const std::string& text) {
        out += tag;
        out += std::to_string(text.size());
        out += ':';
        out += text;
    };
    for (const auto& [n, path] : r.written) {
        field('N', std::to_string(n));
        field('W', path);
    }
    for (const auto& k : r.kept)
        field('K', k);
    for (const auto& e : r.errors)
        field('E', e);
    for (const auto& note : r.notes)
        field('T', note);
    field('P', r.previewsFolder);
    field('L', r.progress);
    for (const auto& c : r.candidates) {
        const auto& a = c.assessment;
        char buf[160];
        std::snprintf(buf, sizeof buf, "%d %" PRIu64 " %" PRIu64 " %" PRIu32 " %.17g %.17g %d", a.candidate, a.words,
                      a.pictures, a.sampled, a.language, a.unique, a.readable ? 1 : 0);
        field('C', buf);
        for (const auto& f : c.files)
            field('F', f);
    }
    field('B', r.best);
    return out;
}

bool deserialize(const std::string& text, FileReport& r) {
    size_t i = 0;
    int number = 0;
    while (i < text.size()) {
        const char tag = text[i++];
        char* end = nullptr;
        const unsigned long long len = std::strtoull(text.c_str() + i, &end, 10);
        const size_t colon = static_cast<size_t>(end - text.c_str());
        if (colon >= text.size() || text[colon] != ':' || len > text.size() - colon - 1)
            return false;
        const std::string value = text.substr(colon + 1, len);
        i = colon + 1 + len;
        switch (tag) {
        case 'N': number = std::atoi(value.c_str()); break;
        case 'W': r.written.emplace_back(number, value); break;
        case 'K': r.kept.push_back(value); break;
        case 'E': r.errors.push_back(value); break;
        case 'T': r.notes.push_back(value); break;
        case 'P': r.previewsFolder = value; break;
        case 'L': r.progress = value; break;
        case 'C': {
            assess::Assessment a;
            int readable = 1;
            if (std::sscanf(value.c_str(), "%d %" SCNu64 " %" SCNu64 " %" SCNu32 " %lf %lf %d", &a.candidate, &a.words,
                            &a.pictures, &a.sampled, &a.language, &a.unique, &readable) != 7)
                return false;
            a.readable = readable != 0;
            assess::rescore(a);
            r.candidates.push_back({a, {}});
            break;
        }
        case 'F':
            if (r.candidates.empty())
                return false;
            r.candidates.back().files.push_back(value);
            break;
        case 'B': r.best = value; break;
        default: return false;
        }
    }
    return true;
}

} // namespace qm::cli
