#include "ui/label_text.h"

#include <gtest/gtest.h>

namespace qm::ui {
namespace {

TEST(LabelText, KeepsValidTextAndReplacesWhatCannotBeShown) {
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        std::string in, out;
    } cases[] = {
        {"/home/ana/R&D Report.doc", "/home/ana/R&D Report.doc"},
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x93\x84.docx", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x93\x84.docx"},
        {"caf\xE9.doc", "caf" + fffd + ".doc"},                  // Latin-1 byte in a file name
        {"a\xC0\xAF" "b", "a" + fffd + fffd + "b"},               // overlong "/"
        {"\xED\xA0\x80", fffd + fffd + fffd},                     // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},          // above U+10FFFF
        {"end\xE2\x82", "end" + fffd + fffd},                     // cut short
        {"two\nlines\tand\x7F" "del\xC2\x85", "two" + fffd + "lines and" + fffd + "del" + fffd},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DisplayText(c.in), c.out) << c.in;
}

} // namespace
} // namespace qm::ui
