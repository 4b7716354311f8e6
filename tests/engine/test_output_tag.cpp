// The output tag's chapter tables and titles, written and read back directly: no join needed.
#include <gtest/gtest.h>

#include <taglib/chapterframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/textidentificationframe.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/join_task.h"
#include "engine/output_tag.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using namespace velmora::testing;

namespace {

// A short MP3 with the tag of `content` filled into its reserved room, as a join leaves it.
std::string TaggedMp3(const TempDir& dir, const OutputTagContent& content) {
    const auto audio = dir / "audio.mp3";
    EXPECT_TRUE(MakeToneMp3(audio, ToneSpec{44100, 2, 0.2}));
    const std::string path = (dir / "tagged.mp3").string();
    const std::vector<uint8_t> frames = RenderTagFrames(content);
    const uint32_t size = static_cast<uint32_t>(frames.size() + 10 + 100);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    EXPECT_TRUE(WriteTagPlaceholder(f, size));
    const std::string bytes = ReadFile(audio);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    EXPECT_TRUE(FillReservedTag(path, frames, size));
    return path;
}

std::string Id(const TagLib::ByteVector& v) { return std::string(v.data(), v.size()); }

}  // namespace

TEST(OutputTagChapters, MoreThan255ChaptersGoUnderNestedOrderedTablesThatEveryReaderFollows) {
    TempDir dir;
    OutputTagContent content;
    content.rate = 44100;
    for (int i = 0; i < 300; ++i)
        content.chapters.push_back(Chapter{"Track " + std::to_string(i + 1), uint64_t(i) * 44100, uint64_t(i + 1) * 44100});
    const std::string path = TaggedMp3(dir, content);

    // As another reader sees it: one top-level table, no table over 255 entries, all ordered,
    // and walking from the top reaches every chapter once, in order.
    TagLib::MPEG::File file(path.c_str(), false);
    ASSERT_TRUE(file.hasID3v2Tag());
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag();
    const TagLib::ID3v2::TableOfContentsFrame* top = nullptr;
    for (TagLib::ID3v2::Frame* f : tag->frameListMap()["CTOC"]) {
        auto* toc = dynamic_cast<TagLib::ID3v2::TableOfContentsFrame*>(f);
        ASSERT_NE(toc, nullptr);
        EXPECT_LE(toc->entryCount(), 255u);
        EXPECT_TRUE(toc->isOrdered());
        if (toc->isTopLevel()) {
            EXPECT_EQ(top, nullptr) << "a second top-level table";
            top = toc;
        }
    }
    ASSERT_NE(top, nullptr);
    std::vector<std::string> walked;
    for (const TagLib::ByteVector& child : top->childElements()) {
        const auto* sub = TagLib::ID3v2::TableOfContentsFrame::findByElementID(tag, child);
        if (!sub) {
            walked.push_back(Id(child));
            continue;
        }
        for (const TagLib::ByteVector& id : sub->childElements()) walked.push_back(Id(id));
    }
    std::vector<std::string> want;
    for (TagLib::ID3v2::Frame* f : tag->frameListMap()["CHAP"])
        want.push_back(Id(dynamic_cast<TagLib::ID3v2::ChapterFrame*>(f)->elementID()));
    ASSERT_EQ(want.size(), 300u);
    ASSERT_EQ(walked.size(), want.size());
    EXPECT_EQ(walked, want);

    std::vector<ChapterEntry> chapters;
    ASSERT_TRUE(ReadChapters(path, chapters));
    ASSERT_EQ(chapters.size(), 300u);
    for (size_t i = 0; i < chapters.size(); ++i) {
        EXPECT_EQ(chapters[i].title, "Track " + std::to_string(i + 1));
        EXPECT_EQ(chapters[i].startMs, i * 1000);
    }
}

TEST(OutputTagChapters, TheReaderFollowsNestedTablesInTheirOrderNotByTime) {
    TempDir dir;
    const auto path = dir / "nested.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, 0.2}));
    {
        TagLib::MPEG::File file(path.c_str(), false);
        TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
        const char* names[] = {"a", "b", "c"};
        for (int i = 0; i < 3; ++i) {
            TagLib::ID3v2::FrameList title;
            auto* t = new TagLib::ID3v2::TextIdentificationFrame("TIT2", TagLib::String::Latin1);
            t->setText(names[i]);
            title.append(t);
            tag->addFrame(new TagLib::ID3v2::ChapterFrame(names[i], i * 1000, i * 1000 + 1000, 0xFFFFFFFF,
                                                          0xFFFFFFFF, title));
        }
        // The table order is c, a, b; part1 lists the top table again, which must not loop.
        auto table = [&](const char* id, std::initializer_list<const char*> children, bool topLevel) {
            TagLib::ByteVectorList list;
            for (const char* c : children) list.append(c);
            auto* toc = new TagLib::ID3v2::TableOfContentsFrame(id, list);
            toc->setIsTopLevel(topLevel);
            toc->setIsOrdered(true);
            tag->addFrame(toc);
        };
        table("part1", {"a", "b", "toc"}, false);
        table("toc", {"part2", "part1"}, true);
        table("part2", {"c"}, false);
        ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2));
    }
    std::vector<ChapterEntry> chapters;
    ASSERT_TRUE(ReadChapters(path.string(), chapters));
    std::vector<std::string> titles;
    for (const ChapterEntry& c : chapters) titles.push_back(c.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"c", "a", "b"}));
}

TEST(OutputTagChapters, ANameThatIsNotUtf8GivesATitleWithReplacementCharacters) {
    CFileToBeJoin file;
    // Latin-1 bytes, a cut-off three-byte sequence, an overlong form, and good UTF-8.
    file.path = "/m/Kapitel \xC4r \xE2\x82 \xC0\xAF \xD0\x93\xD0\xBB\xD0\xB0\xD0\xB2\xD0\xB0.mp3";
    const std::string want = "Kapitel \xEF\xBF\xBDr \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD Глава";
    EXPECT_EQ(ChapterTitleOf(file), want);

    TempDir dir;
    OutputTagContent content;
    content.rate = 44100;
    content.chapters.push_back(Chapter{ChapterTitleOf(file), 0, 44100});
    std::vector<ChapterEntry> chapters;
    ASSERT_TRUE(ReadChapters(TaggedMp3(dir, content), chapters));
    ASSERT_EQ(chapters.size(), 1u);
    EXPECT_EQ(chapters[0].title, want);
}
