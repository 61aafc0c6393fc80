// quillmend-word: the document server, one Word instance per process.
//
//   quillmend-word --serve [--reusable]     answer automation requests on stdin/stdout
//   quillmend-word --convert INPUT OUTPUT   insert INPUT into a new document, save OUTPUT
//   quillmend-word --help | --version
//
// In serve mode the process ends when the client closes its pipe, after a successful Quit,
// or when stopvane ends it. With --reusable a successful Quit starts a new instance instead,
// so that the client can keep the process for its next one. Test hook:
// $QUILLMEND_WORD_TEST_DELAY_MS makes every request wait that long before it is answered, so
// a call can be caught blocked in the server.
#include "docserver/formats.h"
#include "docserver/protocol.h"
#include "docserver/word_instance.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#ifndef QM_VERSION
#define QM_VERSION "0"
#endif

namespace {

using namespace qm;
namespace proto = qm::docserver::protocol;

constexpr const char* kUsage =
    "usage: quillmend-word --convert INPUT OUTPUT\n"
    "       quillmend-word --serve [--reusable]\n"
    "       quillmend-word --help | --version\n"
    "\n"
    "The document server of Quillmend: it stands in for Microsoft Word.\n"
    "\n"
    "  --convert INPUT OUTPUT  make a new document, insert INPUT (.doc, .docx, .html, .mht,\n"
    "                          .rtf, .txt or a picture document) and save it as OUTPUT in\n"
    "                          the format its extension names (.doc, .docx, .html, .htm,\n"
    "                          .mht, .mhtml, .rtf, .txt). Exit status 0 on success, 1 when\n"
    "                          INPUT cannot be read or OUTPUT cannot be written, 2 on a\n"
    "                          usage error.\n"
    "  --serve                 serve one Word instance over stdin/stdout (used by the\n"
    "                          program; the protocol is binary). With --reusable a\n"
    "                          successful Quit starts a new instance instead of ending.\n";

int delayMs() {
    const char* v = std::getenv("QUILLMEND_WORD_TEST_DELAY_MS");
    if (!v || !*v)
        return 0;
    const long ms = std::strtol(v, nullptr, 10);
    return ms > 0 && ms < 3'600'000 ? static_cast<int>(ms) : 0;
}

int serve(bool reusable) {
    // A client that went away shows up as a failed write, not as a signal.
    ::signal(SIGPIPE, SIG_IGN);
    // Replies go to a private copy of stdout; anything else printed goes to stderr so that
    // it cannot corrupt the reply stream.
    const int in = STDIN_FILENO;
    const int out = ::dup(STDOUT_FILENO);
    if (out < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::perror("quillmend-word");
        return 1;
    }
    const int delay = delayMs();
    std::optional<docserver::WordInstance> instance(std::in_place);
    for (;;) {
        docserver::WordInstance& word = *instance;
        std::optional<std::vector<std::uint8_t>> frame;
        try {
            frame = proto::readFrame(in);
        } catch (const proto::ProtocolError& e) {
            // The stream is out of step: nothing later can be trusted.
            std::fprintf(stderr, "quillmend-word: %s\n", e.what());
            return 1;
        }
        if (!frame)
            return 0; // the client closed the connection
        proto::Reply reply;
        try {
            if (proto::isBatch(*frame)) {
                // Performed in order up to the first failure, which is the batch's reply.
                const auto batch = proto::decodeBatch(*frame);
                if (delay > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                for (const auto& req : batch)
                    word.invoke(req.object, req.dispid, req.kind, req.args);
            } else {
                const proto::Request req = proto::decodeRequest(*frame);
                if (delay > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                reply.value = word.invoke(req.object, req.dispid, req.kind, req.args);
            }
        } catch (const std::exception& e) {
            reply.ok = false;
            reply.error = e.what();
        }
        try {
            proto::writeFrame(out, proto::encodeReply(reply));
        } catch (const proto::ProtocolError&) {
            return 1; // the client is gone
        }
        if (word.hasQuit()) {
            if (!reusable)
                return 0;
            instance.emplace(); // nothing of the old instance is left for the next
        }
    }
}

int convert(const std::string& input, const std::string& output) {
    using word::Value;
    using word::CallKind;
    namespace dispid = word::dispid;
    if (!docserver::formatFromExtension(output)) {
        std::fprintf(stderr, "quillmend-word: %s: unknown output format (use .doc, .docx, .html, .mht, .rtf or .txt)\n",
                     output.c_str());
        return 2;
    }
    docserver::WordInstance word;
    auto ref = [](const Value& v) { return std::get<word::ObjectRef>(v).id; };
    try {
        const auto documents = ref(word.invoke(word::kApplicationId, dispid::Documents, CallKind::Get, {}));
        const auto doc = ref(word.invoke(documents, dispid::Add, CallKind::Method, {}));
        const auto selection = ref(word.invoke(word::kApplicationId, dispid::Selection, CallKind::Get, {}));
        word.invoke(selection, dispid::InsertFile, CallKind::Method, {input});
        word.invoke(doc, dispid::SaveAs2, CallKind::Method, {output});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmend-word: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--serve" && (argc == 2 || (argc == 3 && std::strcmp(argv[2], "--reusable") == 0)))
        return serve(argc == 3);
    if (cmd == "--convert" && argc == 4)
        return convert(argv[2], argv[3]);
    if ((cmd == "--help" || cmd == "-h") && argc == 2) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "--version" && argc == 2) {
        std::printf("quillmend-word %s\n", QM_VERSION);
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
