// Our FLAC parser against TagLib's FLAC reader on the same files: whatever it accepts, it reads
// as TagLib does (stream figures and every comment field); what it declines, the list reads
// through TagLib as before.
#include "engine/flac_metadata.h"

#include "engine/media_file.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <taglib/flacfile.h>
#include <taglib/tpropertymap.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace velmora;
using velmora::testing::ReadFile;
using velmora::testing::TempDir;
using velmora::testing::WriteFile;

namespace {

using Fields = std::map<std::string, std::vector<std::string>>;

struct View {
    bool read = false;
    unsigned rate = 0, channels = 0;
    unsigned long long frames = 0;
    int lengthMs = 0, kbps = 0;
    Fields fields;
    bool operator==(const View&) const = default;
};

View TagLibView(const std::filesystem::path& path) {
    View v;
    TagLib::FLAC::File file(path.c_str(), true, TagLib::AudioProperties::Fast);
    const TagLib::FLAC::Properties* p = file.audioProperties();
    if (!file.isValid() || !p) return v;
    v = View{true, static_cast<unsigned>(p->sampleRate()), static_cast<unsigned>(p->channels()), p->sampleFrames(),
             p->lengthInMilliseconds(), p->bitrate(), {}};
    for (const auto& [name, values] : file.properties())
        for (const TagLib::String& value : values) v.fields[name.to8Bit(true)].push_back(value.to8Bit(true));
    return v;
}

View OurView(const std::filesystem::path& path, int* reads = nullptr) {
    View v;
    MediaFile file(path.string());
    FlacMetadata m;
    if (!ReadFlacMetadata(file, m)) return v;
    v = View{true, m.sampleRate, m.channels, m.sampleFrames, m.lengthMs, m.bitrateKbps, {}};
    for (const FlacComment& c : m.comments) v.fields[c.name].push_back(c.value);
    if (reads) *reads = file.reads();
    return v;
}

std::string Le32(uint32_t n) { return {char(n), char(n >> 8), char(n >> 16), char(n >> 24)}; }

std::string Comment(const std::vector<std::string>& fields) {
    std::string b = Le32(6) + "vendor" + Le32(static_cast<uint32_t>(fields.size()));
    for (const std::string& f : fields) b += Le32(static_cast<uint32_t>(f.size())) + f;
    return b;
}

// A one-second tone from sox, split into its STREAMINFO and its frames, and put together again
// with the blocks a case asks for.
class Flac {
public:
    explicit Flac(const TempDir& dir) : dir_(dir) {
        const auto made = dir / "made.flac";
        EXPECT_EQ(std::system(("sox -n -r 44100 -c 2 '" + made.string() + "' synth 1 sine 440").c_str()), 0);
        const std::string bytes = ReadFile(made);
        size_t at = 4;
        for (bool last = false; !last && at + 4 <= bytes.size();) {
            const auto* h = reinterpret_cast<const unsigned char*>(bytes.data() + at);
            const size_t length = (size_t(h[1]) << 16) | (size_t(h[2]) << 8) | h[3];
            if ((h[0] & 0x7F) == 0) streamInfo = bytes.substr(at + 4, length);
            last = h[0] & 0x80;
            at += 4 + length;
        }
        frames_ = bytes.substr(at);
    }
    std::filesystem::path Write(const std::string& name, const std::vector<std::pair<int, std::string>>& blocks,
                                const std::string& tail = {}) const {
        std::string out = "fLaC";
        for (size_t i = 0; i < blocks.size(); ++i) {
            const size_t n = blocks[i].second.size();
            out += char(blocks[i].first | (i + 1 == blocks.size() ? 0x80 : 0));
            out += {char(n >> 16), char(n >> 8), char(n)};
            out += blocks[i].second;
        }
        const auto path = dir_ / name;
        WriteFile(path, out + frames_ + tail);
        return path;
    }
    std::string streamInfo;

private:
    const TempDir& dir_;
    std::string frames_;
};

}  // namespace

TEST(FlacMetadata, ReadsCommentsAsTagLibDoes) {
    TempDir dir;
    Flac flac(dir);
    // Names in any case, several values, an empty value and a value cut at a NUL (both as
    // TagLib has them), fields TagLib drops, text beyond Latin-1 and a byte-order mark.
    const auto path = flac.Write("a.flac", {{0, flac.streamInfo}, {4, Comment({"artist=Ann", "ARTIST=Bob", "Title=",
        "title=T\xC3\xA9", std::string("Album=A\0B", 9), "noseparator", "=novalue", "Gen~re=x",
        "DATE=\xEF\xBB\xBF" "1999", "COMMENT=\xF0\x9F\x8E\xB5"})}, {1, std::string(300, '\0')}});
    const View ours = OurView(path);
    ASSERT_TRUE(ours.read);
    EXPECT_EQ(ours, TagLibView(path));
    EXPECT_EQ(ours.fields.at("ARTIST"), (std::vector<std::string>{"Ann", "Bob"}));
    EXPECT_EQ(ours.fields.at("ALBUM"), std::vector<std::string>{"A"});
    EXPECT_EQ(ours.fields.count("GEN~RE"), 0u);
}

TEST(FlacMetadata, StepsOverAPictureLargerThanTheHeadRead) {
    TempDir dir;
    Flac flac(dir);
    const std::string picture(200 * 1024, '\x5A');
    const auto path = flac.Write("cover.flac", {{0, flac.streamInfo}, {6, picture}, {4, Comment({"TITLE=After"})},
                                                {1, std::string(8192, '\0')}});
    int reads = 0;
    const View ours = OurView(path, &reads);
    ASSERT_TRUE(ours.read);
    EXPECT_EQ(ours, TagLibView(path));
    EXPECT_EQ(ours.fields.at("TITLE"), std::vector<std::string>{"After"});
    EXPECT_LE(reads, 3);  // the head, the blocks after the picture, the tail
}

TEST(FlacMetadata, DeclinesWhatOnlyTagLibReadsItsWay) {
    TempDir dir;
    Flac flac(dir);
    const std::string info = flac.streamInfo;
    std::string runsPast = Comment({"ARTIST=x", "ALBUM=y"});
    runsPast.pop_back();
    std::string hugeCount = Comment({"ARTIST=x"});
    hugeCount.replace(10, 4, Le32(0xFFFFFFFF));
    // 1 Hz and the most samples STREAMINFO can count: a length in milliseconds no int holds.
    std::string endless = info;
    endless[10] = 0;
    endless[11] = 0;
    endless[12] = char(0x10 | (info[12] & 0x0F));
    endless[13] = char(info[13] | 0x0F);
    endless.replace(14, 4, "\xFF\xFF\xFF\xFF");
    const std::vector<std::pair<std::string, std::vector<std::pair<int, std::string>>>> cases = {
        {"field past block", {{0, info}, {4, runsPast}}},
        {"huge count", {{0, info}, {4, hugeCount}}},
        {"not UTF-8", {{0, info}, {4, Comment({"ARTIST=B\xFFob"})}}},
        {"surrogate", {{0, info}, {4, Comment({"ARTIST=\xED\xA0\x80"})}}},
        {"NUL in name", {{0, info}, {4, Comment({std::string("ARTIST\0x=Bob", 12)})}}},
        {"picture comment", {{0, info}, {4, Comment({"METADATA_BLOCK_PICTURE=AAAA"})}}},
        {"empty block", {{0, info}, {2, ""}, {4, Comment({"ARTIST=x"})}}},
        {"no STREAMINFO first", {{4, Comment({"ARTIST=x"})}, {0, info}}},
        {"endless", {{0, endless}, {4, Comment({"ARTIST=x"})}}},
    };
    for (const auto& [name, blocks] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(OurView(flac.Write("case.flac", blocks)).read);
    }
    // An ID3v1 tag at the end, which TagLib reads too.
    EXPECT_FALSE(OurView(flac.Write("v1.flac", {{0, info}}, "TAG" + std::string(125, ' '))).read);
    // A block declaring far more than the file holds, and a file cut inside its blocks.
    const std::string whole = ReadFile(flac.Write("w.flac", {{0, info}, {4, Comment({"ARTIST=x"})}, {1, "pad"}}));
    std::string huge = whole;
    huge[4 + 4 + 34 + 4 + Comment({"ARTIST=x"}).size() + 1] = '\xFF';
    WriteFile(dir / "huge.flac", huge);
    EXPECT_FALSE(OurView(dir / "huge.flac").read);
    WriteFile(dir / "cut.flac", whole.substr(0, 60));
    EXPECT_FALSE(OurView(dir / "cut.flac").read);
    EXPECT_FALSE(TagLibView(dir / "cut.flac").read);
}

// Every byte of the metadata changed in turn, and the file cut at every length of it: no read
// goes astray, and whatever the parser still accepts, it reads as TagLib does.
TEST(FlacMetadata, DamagedMetadataIsDeclinedOrReadAsTagLibReadsIt) {
    TempDir dir;
    Flac flac(dir);
    const std::string whole = ReadFile(flac.Write("w.flac", {{0, flac.streamInfo},
        {4, Comment({"ARTIST=Ann", "title=T", "ALBUM=\xC3\xA9t\xC3\xA9"})}, {6, std::string(64, 'p')}, {1, "pad"}}));
    const size_t metadata = whole.find("pad") + 3;
    int accepted = 0;
    for (size_t at = 0; at < metadata; ++at) {
        for (const char with : {'\0', '\xFF', static_cast<char>(whole[at] ^ 0x21)}) {
            std::string damaged = whole;
            damaged[at] = with;
            WriteFile(dir / "d.flac", damaged);
            const View ours = OurView(dir / "d.flac");
            if (!ours.read) continue;
            ++accepted;
            ASSERT_EQ(ours, TagLibView(dir / "d.flac")) << "byte " << at << " set to " << int(with);
        }
        WriteFile(dir / "d.flac", whole.substr(0, at));
        EXPECT_FALSE(OurView(dir / "d.flac").read) << "cut at " << at;
    }
    EXPECT_GT(accepted, 100);  // text and STREAMINFO changes are still plain FLAC
}
