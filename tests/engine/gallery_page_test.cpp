#include "engine/gallery_page.h"

#include "app/session_state.h"
#include "platform/files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

class GalleryPageTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        session().docxPreviewFolder.clear();
        session().previewDocxPath[2].clear();
    }
    fs::path makeMedia(const std::string& name, const std::vector<std::string>& files) {
        const fs::path media = dir_ / name;
        fs::create_directories(media);
        for (const auto& f : files)
            test::writeText(media / f, "picture bytes");
        return media;
    }
    std::string page() const { return test::readText(session().previewDocxPath[2]); }
};

TEST_F(GalleryPageTest, OneLinePerPictureInListingOrderWithTheOldLineEnd) {
    const fs::path media = makeMedia("media", {"image1.png", "image2.jpeg", "image10.emf"});
    fs::create_directories(media / "sub"); // folders are not pictures
    const std::string folder = media.string() + "/";
    ASSERT_TRUE(MakeGalleryPage(folder));

    // The three lines, each exactly once, in the order the file system lists the folder (read
    // here through the standard library's own iterator).
    std::vector<std::string> lines;
    for (const auto& e : fs::directory_iterator(media))
        if (e.is_regular_file())
            lines.push_back("<img src=\"" + folder + e.path().filename().string() + "\"\\>\x0D\x0A\x0D");
    ASSERT_EQ(lines.size(), 3u);
    const std::string text = page();
    std::vector<std::string> got;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\x0D\x0A\x0D", at);
        ASSERT_NE(end, std::string::npos) << text;
        got.push_back(text.substr(at, end + 3 - at));
        at = end + 3;
    }
    EXPECT_EQ(got, lines);
    for (const char* name : {"image1.png", "image2.jpeg", "image10.emf"})
        EXPECT_EQ(std::count(got.begin(), got.end(), "<img src=\"" + folder + name + "\"\\>\x0D\x0A\x0D"), 1) << name;
    EXPECT_EQ(session().previewDocxPath[2], session().docxPreviewFolder / "~MO.html");
    EXPECT_EQ(session().docxPreviewFolder.parent_path(), dir_ / "tmp");
}

TEST_F(GalleryPageTest, EmptyMediaFolderGivesAZeroBytePageInAFolderOfItsOwn) {
    const fs::path media = makeMedia("empty", {});
    ASSERT_TRUE(MakeGalleryPage(media.string() + "/"));
    const fs::path first = session().previewDocxPath[2];
    EXPECT_TRUE(files::isFile(first));
    EXPECT_EQ(files::fileSize(first), 0u);
    // A second page made at once goes to another folder and leaves the first alone.
    ASSERT_TRUE(MakeGalleryPage(media.string()));
    EXPECT_NE(session().previewDocxPath[2], first);
    EXPECT_TRUE(files::isFile(first));
}

TEST_F(GalleryPageTest, PathsAreWrittenSoThatEveryPictureIsFound) {
    // A doubled separator, as the package salvage builds the media path, stays as it is.
    const fs::path media = makeMedia("my docs #2", {"a b.png"});
    ASSERT_TRUE(MakeGalleryPage(dir_.path().string() + "/" + "/my docs #2/"));
    EXPECT_EQ(page(), "<img src=\"" + dir_.path().string() + "//my docs %232/a b.png\"\\>\r\n\r");

    EXPECT_EQ(GalleryUrlPath("/t/\"q\"&<x>?y=1#f 100%\\z"), "/t/%22q%22%26%3Cx>%3Fy=1%23f 100%25%5Cz");
    EXPECT_EQ(GalleryUrlPath("/t/caf\xC3\xA9\t\x7F.png"), "/t/caf%C3%A9%09%7F.png");
}

TEST_F(GalleryPageTest, MissingMediaFolderGivesNoPage) {
    EXPECT_FALSE(MakeGalleryPage((dir_ / "nowhere").string() + "/"));
    EXPECT_FALSE(files::exists(session().previewDocxPath[2]));
}

} // namespace
} // namespace qm
