#include "cli/cli_options.h"

#include <cstdlib>

namespace qm::cli {

std::string usageText() {
    return "Usage: quillmend-cli [OPTION]... -o DIR FILE...\n"
           "Salvage the content of damaged Word documents (.doc, .docx) and write the\n"
           "recovered candidates as new Word documents under DIR.\n"
           "\n"
           "  -o, --output DIR      write the recovered documents into DIR (created if missing)\n"
           "      --quick           Quick Repair: one repaired copy per .doc file, straight in DIR\n"
           "      --previews DIR    also write each file's previews into DIR/<file name>/\n"
           "      --best DIR        also copy each file's recommended candidate to DIR/<file name>\n"
           "      --overwrite       replace existing outputs without asking\n"
           "      --keep-existing   keep existing outputs without asking\n"
           "      --close-word      end running document servers instead of stopping\n"
           "  -j, --jobs N          process N files at once (default 1); with more than one,\n"
           "                        existing outputs are kept unless --overwrite is given\n"
           "      --json            print a machine-readable report on standard output\n"
           "      --help            display this help and exit\n"
           "      --version         output version information and exit\n"
           "\n"
           "Advance Repair (the default) writes up to four candidates per .doc file into\n"
           "DIR/Preview 1 .. DIR/Preview 4, and one per .docx file into DIR/Preview 1.\n"
           "The input files are never modified.\n"
           "\n"
           "Each candidate is assessed: its words, its pictures and how much of its text\n"
           "reads as language (hunspell dictionaries where installed). The one with the\n"
           "highest score is marked \"recommended\" in the summary and the --json report.\n"
           "\n"
           "Files that share a name get distinct output names: the second \"x.doc\" is\n"
           "saved as \"x (2).doc\". In the --json report, bytes of a name that are not\n"
           "UTF-8 appear as \\udc80..\\udcff escapes.\n"
           "\n"
           "Exit status: 0 when every file gave at least one candidate (or kept one),\n"
           "1 when some file gave none or could not be read, 2 for bad usage or an output\n"
           "folder that cannot be made, 128+N when stopped by signal N.\n";
}

std::string versionText() {
    return "quillmend-cli (Quillmend) 1.0\n";
}

ParseResult parseArguments(const std::vector<std::string>& args) {
    ParseResult r;
    Options& o = r.options;
    bool sawOverwrite = false, sawKeep = false, onlyFiles = false;
    auto needValue = [&](size_t& i, const std::string& name) -> std::optional<std::string> {
        if (i + 1 >= args.size()) {
            r.error = "option '" + name + "' requires an argument";
            return std::nullopt;
        }
        return args[++i];
    };
    for (size_t i = 0; i < args.size() && r.error.empty(); ++i) {
        const std::string& a = args[i];
        if (onlyFiles || a.empty() || a[0] != '-' || a == "-") {
            o.files.push_back(a);
        } else if (a == "--") {
            onlyFiles = true;
        } else if (a == "-o" || a == "--output") {
            if (auto v = needValue(i, a))
                o.outputDir = *v;
        } else if (a.rfind("--output=", 0) == 0) {
            o.outputDir = a.substr(9);
        } else if (a.rfind("-o", 0) == 0 && a.size() > 2) {
            o.outputDir = a.substr(2);
        } else if (a == "--previews") {
            if (auto v = needValue(i, a))
                o.previewsDir = *v;
        } else if (a.rfind("--previews=", 0) == 0) {
            o.previewsDir = a.substr(11);
        } else if (a == "--best") {
            if (auto v = needValue(i, a))
                o.bestDir = *v;
        } else if (a.rfind("--best=", 0) == 0) {
            o.bestDir = a.substr(7);
        } else if (a == "--quick") {
            o.quick = true;
        } else if (a == "--overwrite") {
            sawOverwrite = true;
            o.overwrite = OverwritePolicy::Overwrite;
        } else if (a == "--keep-existing") {
            sawKeep = true;
            o.overwrite = OverwritePolicy::KeepExisting;
        } else if (a == "-j" || a == "--jobs" || a.rfind("--jobs=", 0) == 0 || (a.rfind("-j", 0) == 0 && a.size() > 2)) {
            std::optional<std::string> v;
            if (a == "-j" || a == "--jobs")
                v = needValue(i, a);
            else
                v = a.substr(a[1] == 'j' ? 2 : 7);
            if (v) {
                char* end = nullptr;
                const long n = std::strtol(v->c_str(), &end, 10);
                if (v->empty() || *end != '\0' || n < 1 || n > kMaxJobs)
                    r.error = "invalid number of jobs '" + *v + "' (1 to " + std::to_string(kMaxJobs) + ")";
                else
                    o.jobs = static_cast<int>(n);
            }
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--close-word") {
            o.closeWord = true;
        } else if (a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else {
            r.error = "unrecognized option '" + a + "'";
        }
    }
    if (!r.error.empty() || o.help || o.version)
        return r;
    if (sawOverwrite && sawKeep)
        r.error = "--overwrite and --keep-existing cannot be used together";
    else if (o.outputDir.empty())
        r.error = "no output folder given (-o DIR)";
    else if (o.files.empty())
        r.error = "no input files given";
    else if (o.previewsDir && o.previewsDir->empty())
        r.error = "empty --previews folder";
    else if (o.bestDir && o.bestDir->empty())
        r.error = "empty --best folder";
    return r;
}

} // namespace qm::cli
